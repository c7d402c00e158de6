#include "update/firmwaredownload.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QSaveFile>

QString MD5(const QByteArray &bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Md5).toHex());
}

QString firmwareUrl(const QString &serverBase, const QString &selectedValue)
{
    return serverBase + QStringLiteral("/fw-updates/") + selectedValue + QStringLiteral(".zip");
}

QString destinationDirectory(const QString &tempDir, const QString &bundleId)
{
    const QString directory = tempDir.endsWith(QLatin1Char('/'))
                                  ? tempDir + bundleId
                                  : tempDir + QLatin1Char('/') + bundleId;
    QDir().mkpath(directory);
    return directory;
}

QString firmwareDestination(const QString &directory, const QString &selectedValue)
{
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
    if (!data)
        return false;
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly) && file.write(*data) == data->size() && file.commit())
        return true;
    file.cancelWriting();
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
