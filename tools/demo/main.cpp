// hoop-updater-demo: the real application, pointed at an update server that
// it starts on loopback and at a simulated hoop, so a whole update can be
// watched without hardware. The hoop is "plugged in" a few seconds after
// "Update Firmware" is pressed.
//
//   hoop-updater-demo [--auto-update] [FIRMWARE.hex]
//
// --auto-update presses the button by itself once the firmware list is in.
// A firmware file is offered as the shipped program offers its argument.
//
// The list is signed as a vendor signs it, with a key made for this run that
// the demo's program trusts, so the signature check runs as it does for users.

#include "app/appdelegate.h"
#include "app/application.h"
#include "app/mainwindow.h"
#include "cataloguesigner.h"
#include "platform/savefile.h"
#include "samplefirmware.h"
#include "simulatedhoop.h"
#include "updateserver.h"

#include <QDir>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>

#include <pthread.h>

int main(int argc, char *argv[])
{
    // The window takes these signals on a thread of its own, and puts them off
    // while the hoop is programmed; the demo's server and hoop, started first,
    // must leave them to it.
    sigset_t stops;
    sigemptyset(&stops);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&stops, signal);
    pthread_sigmask(SIG_BLOCK, &stops, nullptr);

    bool autoUpdate = false;
    QString firmwareFile;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--auto-update") == 0)
            autoUpdate = true;
        else
            firmwareFile = QString::fromLocal8Bit(argv[i]);
    }

    // Everything the demo makes lives in one temporary directory.
    QTemporaryDir work(QDir::tempPath() + QStringLiteral("/hoop-updater-demo-XXXXXX"));
    if (!work.isValid()) {
        std::fprintf(stderr, "hoop-updater-demo: cannot make a temporary directory\n");
        return 1;
    }
    const QString firmwareDir = work.filePath(QStringLiteral("firmware"));
    const QString mountRoot = work.filePath(QStringLiteral("media"));
    QDir().mkpath(mountRoot);
    QDir().mkpath(work.filePath(QStringLiteral("tmp")));

    QString error;
    if (hoopsim::writeSampleFirmware(firmwareDir, 96 * 1024, &error).isEmpty()) {
        std::fprintf(stderr, "hoop-updater-demo: %s\n", qPrintable(error));
        return 1;
    }
    const hoopupdate::CatalogueSigner signer;
    const QByteArray list = hoopupdate::UpdateServer::generateCatalogue(firmwareDir);
    const QString listPath = firmwareDir + QStringLiteral("/updates.xml");
    std::optional<QString> unsaved = signer.isValid() ? saveWholeFile(listPath, list)
                                                      : QStringLiteral("libsodium did not start");
    if (!unsaved)
        unsaved = saveWholeFile(
            listPath + QStringLiteral(".minisig"),
            signer.sign(list, hoopupdate::CatalogueSigner::defaultTrustedComment("updates.xml")));
    if (unsaved) {
        std::fprintf(stderr, "hoop-updater-demo: cannot sign the firmware list: %s\n",
                     qPrintable(*unsaved));
        return 1;
    }
    hoopupdate::UpdateServer server(firmwareDir);
    if (!server.start()) {
        std::fprintf(stderr, "hoop-updater-demo: %s\n", qPrintable(server.errorString()));
        return 1;
    }
    auto hoop =
        std::make_unique<hoopsim::SimulatedHoop>(work.filePath(QStringLiteral("hoop")), mountRoot);
    if (!hoop->installTool(work.filePath(QStringLiteral("resources")))) {
        std::fprintf(stderr, "hoop-updater-demo: %s\n", qPrintable(hoop->errorString()));
        return 1;
    }
    hoop->setRebootDelay(1500);
    std::printf("Demo update server: %s/fw-updates/\nSimulated hoop volumes appear under: %s\n",
                qPrintable(server.baseUrl()), qPrintable(mountRoot));
    std::fflush(stdout);

    auto configure = [&] {
        Configuration config = Configuration::fromBuild();
        config.updateServerUrl = server.baseUrl();
        config.mountRoots = {mountRoot};
        config.resourceDir = work.filePath(QStringLiteral("resources"));
        config.tempDir = work.filePath(QStringLiteral("tmp"));
        config.firmwareFile = firmwareFile;
        config.catalogueTrust.publicKeys = {signer.publicKey()};
        config.catalogueTrust.stateFile =
            work.filePath(QStringLiteral("state/catalogue-timestamp"));
        return config;
    };
    auto prepare = [&](AppDelegate &, MainWindow &window) {
        QPushButton *button = window.buildButton();
        QObject::connect(button, &QPushButton::clicked, button,
                         [&hoop] { hoop->plugInAfter(3000); });
        if (!autoUpdate)
            return;
        // Press the button as soon as the check has enabled it.
        auto *poll = new QTimer(button);
        QObject::connect(poll, &QTimer::timeout, button, [button, poll] {
            if (!button->isEnabled())
                return;
            poll->stop();
            button->click();
        });
        poll->start(100);
    };
    const int status = runApplication(argc, argv, configure, prepare);
    hoop.reset(); // takes the volume away before its directory goes
    return status;
}
