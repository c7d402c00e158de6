#pragma once

// The shipped program's terminal mode as a child process, pointed at an
// update rig's server, hoop and directories through the environment.

#include "e2eharness.h"

#include <QDeadlineTimer>
#include <QProcess>

#include <unistd.h>

struct Ended
{
    int status = -1;
    QString out;
    QString err;
};

// The program's environment: the rig's places, and none of a desktop's.
inline QProcessEnvironment environmentFor(const UpdateRig &rig)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOOPTEST_SERVER"), rig.config.updateServerUrl);
    env.insert(QStringLiteral("HOOPTEST_MOUNT_ROOT"), rig.config.mountRoots.value(0));
    env.insert(QStringLiteral("HOOPTEST_RESOURCE_DIR"), rig.config.resourceDir);
    env.insert(QStringLiteral("HOOPTEST_TEMP_DIR"), rig.config.tempDir);
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY"})
        env.remove(QLatin1String(name));
    // A QGuiApplication would abort without a display here.
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    return env;
}

inline void start(QProcess &cli, const UpdateRig &rig, const QStringList &arguments)
{
    if (cli.processEnvironment().isEmpty())
        cli.setProcessEnvironment(environmentFor(rig));
    // The leader of a process group of its own, as a terminal starts it, so
    // that a signal can go to the whole group as Ctrl+C does.
    cli.setChildProcessModifier([] { ::setpgid(0, 0); });
    cli.start(QStringLiteral(CLI_APP), arguments);
    cli.waitForStarted();
}

inline Ended finish(QProcess &cli)
{
    Ended ended;
    // waitForFinished says no for a process that has ended already.
    if (cli.state() != QProcess::NotRunning && !cli.waitForFinished(60000)) {
        cli.kill();
        cli.waitForFinished();
        ended.err = QStringLiteral("(did not end within 60 s)");
        return ended;
    }
    ended.status = cli.exitStatus() == QProcess::NormalExit ? cli.exitCode() : -1;
    ended.out = QString::fromLocal8Bit(cli.readAllStandardOutput());
    ended.err += QString::fromLocal8Bit(cli.readAllStandardError());
    return ended;
}

inline Ended run(const UpdateRig &rig, const QStringList &arguments)
{
    QProcess cli;
    start(cli, rig, arguments);
    return finish(cli);
}

// Reads what the program prints until `text` has come `times` times.
inline bool waitForOutput(QProcess &cli, QString &out, const QString &text, int times = 1)
{
    QDeadlineTimer bound(30000);
    while (out.count(text) < times && !bound.hasExpired() && cli.state() == QProcess::Running) {
        cli.waitForReadyRead(100);
        out += QString::fromLocal8Bit(cli.readAllStandardOutput());
    }
    return out.count(text) >= times;
}
