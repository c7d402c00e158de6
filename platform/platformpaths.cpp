#include "platform/platformpaths.h"

#include <QCoreApplication>
#include <QDir>
#include <QStandardPaths>

#if !defined(Q_OS_MACOS) && !defined(Q_OS_WIN)
#include <pwd.h>
#include <unistd.h>
#include <vector>
#endif

QString applicationResourceDir()
{
    const QDir bin(QCoreApplication::applicationDirPath());
#ifdef Q_OS_MACOS
    return QDir::cleanPath(bin.absoluteFilePath(QStringLiteral("../Resources")));
#else
    return QDir::cleanPath(bin.absoluteFilePath(QStringLiteral("../share/hoop-updater")));
#endif
}

#if !defined(Q_OS_MACOS) && !defined(Q_OS_WIN)
// The login name from the password database: the environment can be changed
// by whoever starts the program, the database cannot.
static QString currentUserName()
{
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? size_t(size) : 16384);
    passwd entry{};
    passwd *found = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found)
        return {};
    return QString::fromLocal8Bit(found->pw_name);
}
#endif

QStringList defaultMountRoots()
{
#ifdef Q_OS_MACOS
    return {QStringLiteral("/Volumes")};
#else
    const QString user = currentUserName();
    // Without a name, "/media/" itself would be searched.
    if (user.isEmpty())
        return {};
    return {QStringLiteral("/run/media/") + user, QStringLiteral("/media/") + user};
#endif
}

QString privateTempDir()
{
#ifdef Q_OS_MACOS
    // Per user there, unlike /tmp elsewhere.
    return QDir::tempPath();
#else
    // Qt checks that it is ours and 0700, and answers empty otherwise.
    return QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
#endif
}

QString userStateDir()
{
#ifdef Q_OS_MACOS
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
#else
    // A relative value is invalid by the XDG rules and must be ignored.
    const QString xdg = qEnvironmentVariable("XDG_STATE_HOME");
    if (QDir::isAbsolutePath(xdg))
        return QDir::cleanPath(xdg);
    const QString home = qEnvironmentVariable("HOME");
    if (!QDir::isAbsolutePath(home))
        return {};
    return QDir::cleanPath(home + QStringLiteral("/.local/state"));
#endif
}
