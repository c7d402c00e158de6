#pragma once

#include "app/configuration.h"

#include <functional>

class AppDelegate;
class MainWindow;

// The application's life from start to exit: makes the one controller and the
// window, hands the controls over, queues the launch handler and runs the
// event loop. `configure` is asked once the QApplication exists (paths
// depend on it); `prepare` runs after the window is shown and before the
// launch handler. The demo and test harnesses use both; the shipped program
// uses the configuration compiled into the build with the firmware file its
// command line names, and no preparation.
int runApplication(
    int &argc, char **argv,
    const std::function<Configuration()> &configure = &Configuration::fromCommandLine,
    const std::function<void(AppDelegate &, MainWindow &)> &prepare = {});
