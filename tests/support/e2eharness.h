#pragma once

// A whole update set up for real: an update server on loopback publishing
// firmware from a temporary directory, a simulated hoop with its stand-in
// tool, and the application's controller and window configured to use them.

#include "app/appdelegate.h"
#include "app/busyindicator.h"
#include "app/mainwindow.h"
#include "catalogue/updatecheck.h"
#include "samplefirmware.h"
#include "simulatedhoop.h"
#include "update/firmwaredownload.h"
#include "updateserver.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTableView>
#include <QTemporaryDir>

#include <memory>

class UpdateRig
{
public:
    UpdateRig()
    {
        for (const char *dir : {"firmware", "media", "resources", "tmp"})
            QDir().mkpath(path(QLatin1String(dir)));
        hoop = std::make_unique<hoopsim::SimulatedHoop>(path(QStringLiteral("hoop")),
                                                        path(QStringLiteral("media")));
        hoop->setFastMode(true);
        hoop->setRebootDelay(0);
        toolInstalled = hoop->installTool(path(QStringLiteral("resources")));
        config.bundleId = QStringLiteral("org.example.hoop-updater-test");
        config.mountRoots = {path(QStringLiteral("media"))};
        config.resourceDir = path(QStringLiteral("resources"));
        config.tempDir = path(QStringLiteral("tmp"));
    }
    ~UpdateRig()
    {
        // The run must be over before the controller goes; then the hoop,
        // whose volume may be a mount inside the temporary directory.
        if (delegate)
            delegate->updateRunner().wait(120000);
        window.reset();
        delegate.reset();
        hoop.reset();
        server.reset();
        fwList.reset();
    }

    QString path(const QString &name) const { return m_root.filePath(name); }

    // Publishes one sample image; returns its digest.
    QString publishSample(const QString &name, int approxBytes = 8 * 1024)
    {
        const QByteArray bytes = hoopsim::sampleFirmwareHex(name, approxBytes);
        return writeFile(path(QStringLiteral("firmware/")) + name + QStringLiteral(".zip"), bytes)
                   ? MD5(bytes)
                   : QString();
    }
    // A catalogue of our own instead of the one the server generates.
    void writeCatalogue(const QString &xml)
    {
        writeFile(path(QStringLiteral("firmware/updates.xml")), xml.toUtf8());
    }
    // Makes the file's directory if need be; true when every byte was written.
    static bool writeFile(const QString &path, const QByteArray &bytes)
    {
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile file(path);
        return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
    }
    static QString entry(const QString &fileName, const QString &md5)
    {
        return QStringLiteral("<FIRMWARE filename=\"%1\" version=\"1\" date=\"2026-12-01\" "
                              "MD5=\"%2\" desc=\"test\"/>")
            .arg(fileName, md5);
    }
    static QString catalogue(const QStringList &entries)
    {
        return QStringLiteral("<root><Hoop>") + entries.join(QString()) +
               QStringLiteral("</Hoop></root>");
    }

    bool startServer()
    {
        server = std::make_unique<hoopupdate::UpdateServer>(path(QStringLiteral("firmware")));
        if (!server->start())
            return false;
        config.updateServerUrl = server->baseUrl();
        return true;
    }
    // Starts the server, the controller and the window, and runs the launch.
    // True when the update button ended up enabled. With serve false,
    // config.updateServerUrl is used as it is.
    // With prefetch, as the application starts: the check is done, and its
    // hand-back queued, before the launch handler runs.
    bool launch(bool serve = true, bool prefetch = false)
    {
        if (serve && !startServer())
            return false;
        open();
        if (prefetch) {
            delegate->launchCheck().prefetch(config.updateServerUrl, config.catalogueTrust,
                                             config.launchFetch());
            delegate->launchCheck().wait(-1);
            drain();
        }
        delegate->applicationDidFinishLaunching();
        waitForCheck();
        return window->buildButton()->isEnabled();
    }
    // The controller and its window, shown but not launched.
    void open()
    {
        delegate = std::make_unique<AppDelegate>(config);
        window = std::make_unique<MainWindow>();
        window->connectOutlets(*delegate);
        window->show();
    }

    // Presses "Update Firmware" and waits until the run's thread has ended.
    // With plugIn, the hoop is plugged in once the console asks for it.
    bool updateAndWait(int milliseconds = 60000, bool plugIn = false)
    {
        window->buildButton()->click();
        QDeadlineTimer bound(milliseconds);
        if (plugIn) {
            const QString asked = QStringLiteral("Turn on your hoop and plug it in via USB now.");
            while (!console().contains(asked) && delegate->updateRunner().isActive() &&
                   !bound.hasExpired())
                QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
            if (console().contains(asked))
                hoop->plugIn();
        }
        const bool ended = delegate->updateRunner().wait(int(bound.remainingTime()));
        drain();
        return ended;
    }

    // The launch check runs on a thread of its own; its result is applied here.
    void waitForCheck()
    {
        QDeadlineTimer bound(60000);
        while (delegate->launchCheck().isActive() && !bound.hasExpired())
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        drain();
    }

    static void drain()
    {
        for (int i = 0; i < 5; ++i)
            QCoreApplication::processEvents();
    }

    QString console() const { return window->outputText()->toPlainText(); }
    bool buttonEnabled() const { return window->buildButton()->isEnabled(); }
    bool tableEnabled() const { return window->tableView()->isEnabled(); }
    bool spinning() const { return isAnimating(window->spinner()); }

    Configuration config;
    bool toolInstalled = false;
    std::unique_ptr<hoopsim::SimulatedHoop> hoop;
    std::unique_ptr<hoopupdate::UpdateServer> server;
    std::unique_ptr<AppDelegate> delegate;
    std::unique_ptr<MainWindow> window;

private:
    QTemporaryDir m_root;
};
