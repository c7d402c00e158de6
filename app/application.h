#pragma once

#include "app/configuration.h"

#include <functional>

class AppDelegate;
class MainWindow;

// The program from start to exit: reads its arguments, then is either the
// window or the terminal's update. `adjust` changes the configuration
// compiled into the build once it has been made (tests, benchmarks and the
// demo point it elsewhere); the shipped program passes none.
int runProgram(int &argc, char **argv, const std::function<void(Configuration &)> &adjust = {});

// The window's life: makes the one controller and the window, hands the
// controls over, queues the launch handler and runs the event loop.
// `configure` is asked once the QApplication exists (paths depend on it);
// `prepare` runs after the window is shown and before the launch handler.
int runApplication(int &argc, char **argv, const std::function<Configuration()> &configure,
                   const std::function<void(AppDelegate &, MainWindow &)> &prepare = {});
