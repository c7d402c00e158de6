// Cost of one console append as the log grows: appends N pieces through the
// controller's log operation into a real window, then 2N into a fresh one.
// Linear growth gives time(2N)/time(N) close to 2; a rewrite of the whole text
// per append would give about 4.

#include "app/appdelegate.h"
#include "app/mainwindow.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QPlainTextEdit>

#include <algorithm>
#include <cstdio>
#include <vector>

static void discardLog(QtMsgType, const QMessageLogContext &, const QString &) {}

// Seconds to append and show `count` pieces in a fresh window.
static double appendSeconds(int count)
{
    Configuration config;
    AppDelegate delegate(config);
    MainWindow window;
    window.connectOutlets(delegate);
    window.show();
    QCoreApplication::processEvents();

    const QString piece = QStringLiteral("Flashing new firmware to device... DO NOT UNPLUG! %1\n");
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < count; ++i) {
        delegate.updateUILog(piece.arg(i));
        // Let the queue run as it does in the application, a few pieces at a time.
        if (i % 16 == 15)
            QCoreApplication::processEvents();
    }
    QCoreApplication::processEvents();
    const double seconds = timer.nsecsElapsed() / 1e9;
    if (window.outputText()->document()->blockCount() < count)
        std::fprintf(stderr, "console lost pieces\n");
    return seconds;
}

static double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    qInstallMessageHandler(discardLog);

    const int base = 10000;
    std::vector<double> small, large;
    for (int round = 0; round < 5; ++round) {
        small.push_back(appendSeconds(base));
        large.push_back(appendSeconds(2 * base));
    }
    const double t1 = median(small);
    const double t2 = median(large);
    std::printf("console_append: %d appends: %.3f s (%.2f us/append)\n", base, t1, t1 / base * 1e6);
    std::printf("console_append: %d appends: %.3f s (%.2f us/append)\n", 2 * base, t2,
                t2 / (2 * base) * 1e6);
    std::printf("console_append: ratio time(%d)/time(%d) = %.2f (goal <= 2.3)\n", 2 * base, base,
                t2 / t1);
    return 0;
}
