#include "platform/privatedirectory.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString errnoText(const QString &path)
{
    return path + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(errno));
}

} // namespace

QString privateDirectoryProblem(const QString &path)
{
    struct stat info
    {};
    if (::lstat(QFile::encodeName(path).constData(), &info) != 0)
        return errnoText(path);
    if (S_ISLNK(info.st_mode))
        return path + QStringLiteral(" is a symbolic link");
    if (!S_ISDIR(info.st_mode))
        return path + QStringLiteral(" is not a directory");
    if (info.st_uid != ::geteuid())
        return path + QStringLiteral(" belongs to another user (uid ") +
               QString::number(info.st_uid) + QLatin1Char(')');
    if (info.st_mode & (S_IWGRP | S_IWOTH))
        return path + QStringLiteral(" may be written by other users");
    return {};
}

QString safeParentProblem(const QString &path)
{
    // Followed if a link: a temporary directory is often reached through one.
    struct stat info
    {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return errnoText(path);
    if (!S_ISDIR(info.st_mode))
        return path + QStringLiteral(" is not a directory");
    if (info.st_uid != ::geteuid() && info.st_uid != 0)
        return path + QStringLiteral(" belongs to another user (uid ") +
               QString::number(info.st_uid) + QLatin1Char(')');
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) && !(info.st_mode & S_ISVTX))
        return path + QStringLiteral(" may be written by other users");
    return {};
}
