#include "platform/leftovers.h"

#include "platform/devlog.h"
#include "platform/privatedirectory.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QStringList>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include <unistd.h>

namespace {

const QString kOwner = QStringLiteral("owner");

QMutex &lock()
{
    static QMutex mutex;
    return mutex;
}

QStringList &kept()
{
    static QStringList paths;
    return paths;
}

// The process that marked the directory no longer runs (or never said who it was).
bool ownerGone(const QString &directory)
{
    QFile file(QDir(directory).filePath(kOwner));
    if (!file.open(QIODevice::ReadOnly))
        return false;
    bool ok = false;
    const qint64 pid = file.read(32).trimmed().toLongLong(&ok);
    if (!ok || pid <= 0)
        return true;
    return ::kill(pid_t(pid), 0) != 0 && errno == ESRCH;
}

void removeImages(const QString &directory)
{
    const QDir dir(directory);
    for (const QString &name : dir.entryList({QStringLiteral("*.hex")}, QDir::Files | QDir::Hidden))
        QFile::remove(dir.filePath(name));
    QFile::remove(dir.filePath(kOwner));
}

} // namespace

void keepUntilExit(const QString &directory, const QString &path)
{
    QFile owner(QDir(directory).filePath(kOwner));
    if (owner.open(QIODevice::WriteOnly | QIODevice::Truncate))
        owner.write(QByteArray::number(qint64(::getpid())) + '\n');
    const QMutexLocker locker(&lock());
    if (!kept().contains(path))
        kept().append(path);
    if (!kept().contains(owner.fileName()))
        kept().append(owner.fileName());
}

void removeKept()
{
    const QMutexLocker locker(&lock());
    for (const QString &path : std::as_const(kept())) {
        if (QFileInfo(path).isDir() && !QFileInfo(path).isSymLink())
            QDir(path).removeRecursively();
        else
            QFile::remove(path);
    }
    kept().clear();
}

void exitProcess(int status)
{
    std::fflush(stdout);
    std::fflush(stderr);
    removeKept();
    std::_Exit(status);
}

void removeStaleLeftovers(const QString &tempDir, const QString &bundleId)
{
    if (tempDir.isEmpty() || bundleId.isEmpty())
        return;
    const QDir temp(tempDir);
    const QString own = temp.filePath(bundleId);
    if (privateDirectoryProblem(own).isEmpty() && ownerGone(own))
        removeImages(own);
    const QStringList fresh =
        temp.entryList({bundleId + QStringLiteral("-??????")}, QDir::Dirs | QDir::Hidden);
    for (const QString &name : fresh) {
        const QString path = temp.filePath(name);
        // Only directories of ours that their maker left behind.
        if (privateDirectoryProblem(path).isEmpty() && ownerGone(path)) {
            devLog(QStringLiteral("Removing what an earlier run left: ") + path);
            QDir(path).removeRecursively();
        }
    }
}
