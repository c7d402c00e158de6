#include "update/firmwaredownload.h"

#include "platform/privatedirectory.h"
#include "platform/savefile.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

QString MD5(const QByteArray &bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Md5).toHex());
}

QString firmwareUrl(const QString &serverBase, const QString &selectedValue)
{
    return serverBase + QStringLiteral("/fw-updates/") + selectedValue + QStringLiteral(".zip");
}

QString destinationDirectory(const QString &tempDir, const QString &bundleId, QString *why)
{
    auto explain = [why](const QString &reason) {
        if (why)
            *why = reason;
    };
    explain(QString());
    // A relative path would put the image wherever the program was started.
    if (tempDir.isEmpty() || QDir::isRelativePath(tempDir)) {
        explain(QStringLiteral("No private temporary directory to download into"));
        return {};
    }
    QDir().mkpath(tempDir);
    if (const QString problem = safeParentProblem(tempDir); !problem.isEmpty()) {
        explain(problem);
        return {};
    }
    const QString directory = tempDir.endsWith(QLatin1Char('/'))
                                  ? tempDir + bundleId
                                  : tempDir + QLatin1Char('/') + bundleId;
    QDir().mkdir(directory, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    const QString problem = privateDirectoryProblem(directory);
    if (problem.isEmpty())
        return directory;
    // Whoever holds the name, a directory with a fresh random name is one
    // that only we can have made.
    QTemporaryDir fresh(directory + QStringLiteral("-XXXXXX"));
    if (!fresh.isValid()) {
        explain(problem + QStringLiteral("; no other directory could be made: ") +
                fresh.errorString());
        return {};
    }
    fresh.setAutoRemove(false);
    explain(problem + QStringLiteral("; using ") + fresh.path() + QStringLiteral(" instead"));
    return fresh.path();
}

QString firmwareDestination(const QString &directory, const QString &selectedValue)
{
    if (directory.isNull())
        return {};
    return directory + QLatin1Char('/') + selectedValue + QStringLiteral(".hex");
}

FetchLimits firmwareFetchLimits()
{
    FetchLimits limits;
    limits.maxBytes = kFirmwareMaxBytes;
    // The largest image over a slow line (about 40 KB/s) still fits.
    limits.totalSeconds = 900;
    return limits;
}

std::optional<QByteArray> downloadFirmware(const QString &url, const FetchLimits &limits)
{
    return fetchUrl(url, limits);
}

bool storeFirmware(const QString &path, const std::optional<QByteArray> &data)
{
    if (!data || path.isEmpty())
        return false;
    if (!privateDirectoryProblem(QFileInfo(path).path()).isEmpty())
        return false;
    // Saving writes through a link to its target; the link itself must go.
    if (QFileInfo(path).isSymLink() && !QFile::remove(path))
        return false;
    if (!saveWholeFile(path, *data))
        return true;
    QFile::remove(path);
    return false;
}

DigestCheck checkDigest(const std::optional<QByteArray> &data, const QString &expected)
{
    DigestCheck check;
    if (!data)
        return check;
    check.foundDigest = MD5(*data).toUpper();
    check.passed =
        !expected.isNull() && check.foundDigest.compare(expected, Qt::CaseInsensitive) == 0;
    return check;
}

bool sha256Matches(const QByteArray &data, const QVariant &expected)
{
    if (!expected.isValid())
        return true;
    if (expected.typeId() != QMetaType::QString)
        return false;
    const QString digest = expected.toString();
    return digest.size() == 64 &&
           digest.compare(QString::fromLatin1(
                              QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex()),
                          Qt::CaseInsensitive) == 0;
}

EntryDigests entryDigests(const QVariantMap &entry)
{
    return {entry.contains(QStringLiteral("MD5")), entry.contains(QStringLiteral("SHA256"))};
}
