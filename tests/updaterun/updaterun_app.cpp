// The application, configured from its arguments, that presses "Update
// Firmware" as soon as it can and closes its window a given time later (for
// 0, once the run has ended; for a negative time, that long after its start):
//   updaterun_app SERVER MOUNT_ROOT RESOURCE_DIR TEMP_DIR CLOSE_AFTER_MS
// A RESOURCE_DIR of "-" keeps the program's own, found beside it. In place of
// a time, "close" or "quit" closes the window (or chooses File > Quit) as soon
// as the hoop is being programmed and answers "Quit When Done"; "stay" never
// closes it.

#include "app/appdelegate.h"
#include "app/application.h"
#include "app/mainwindow.h"
#include "leakcheck.h"

#include <QAction>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

int main(int argc, char *argv[])
{
    if (argc != 6)
        return 2;
    QStringList args;
    for (int i = 1; i < argc; ++i)
        args << QString::fromLocal8Bit(argv[i]);
    auto configure = [&] {
        Configuration config = Configuration::fromBuild();
        config.updateServerUrl = args[0];
        config.bundleId = QStringLiteral("org.example.hoop-updater-test");
        config.mountRoots = {args[1]};
        if (args[2] != QStringLiteral("-"))
            config.resourceDir = args[2];
        config.tempDir = args[3];
        // The test's server publishes an unsigned list, whatever keys the build trusts.
        config.catalogueTrust = {};
        // Long enough that a hanging tool is still running when the window closes.
        config.dfuTimeouts = DfuTimeouts{600000, 600000, 600000, 600000, 600000};
        return config;
    };
    const QString how = args[4];
    const int closeAfter = how.toInt();
    auto prepare = [closeAfter, how](AppDelegate &delegate, MainWindow &window) {
        if (how == QStringLiteral("close") || how == QStringLiteral("quit")) {
            auto *poll = new QTimer(&window);
            QObject::connect(poll, &QTimer::timeout, &window, [&delegate, &window, poll, how] {
                if (!delegate.updateRunner().isProgramming())
                    return;
                poll->stop();
                if (how == QStringLiteral("close"))
                    window.close();
                else
                    window.findChild<QAction *>(QStringLiteral("actionQuit"))->trigger();
                for (QAbstractButton *button : window.findChild<QMessageBox *>()->buttons()) {
                    if (button->text() == QStringLiteral("&Quit When Done"))
                        button->click();
                }
            });
            poll->start(10);
        }
        if (closeAfter == 0 && how != QStringLiteral("0")) {
            // Pressed at once; closed only by the poll above, or by a signal.
            QObject::connect(&delegate, &AppDelegate::updateCheckFinished, window.buildButton(),
                             &QPushButton::click, Qt::QueuedConnection);
            return;
        }
        // Negative: closed that long after the start, whatever the launch check is doing.
        if (closeAfter < 0) {
            QTimer::singleShot(-closeAfter, &window, &QWidget::close);
            return;
        }
        if (closeAfter == 0)
            QObject::connect(&delegate.updateRunner(), &UpdateRunner::finished, &window,
                             &QWidget::close, Qt::QueuedConnection);
        QPushButton *button = window.buildButton();
        auto *poll = new QTimer(button);
        QObject::connect(poll, &QTimer::timeout, button, [button, poll, &window, closeAfter] {
            if (!button->isEnabled())
                return;
            poll->stop();
            button->click();
            if (closeAfter > 0)
                QTimer::singleShot(closeAfter, &window, &QWidget::close);
        });
        poll->start(20);
    };
    return afterLeakCheck(runApplication(argc, argv, configure, prepare));
}
