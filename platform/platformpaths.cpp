#include "platform/platformpaths.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

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

QString defaultMountRoot()
{
#ifdef Q_OS_MACOS
    return QStringLiteral("/Volumes");
#else
    const QString user = currentUserName();
    const QString media = QStringLiteral("/media/") + user;
    const QString runMedia = QStringLiteral("/run/media/") + user;
    if (!QFileInfo(media).isDir() && QFileInfo(runMedia).isDir())
        return runMedia;
    return media;
#endif
}
