#include "update/hoopvolume.h"

#include "platform/savefile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>

namespace {

// The labels of hoop volumes under the root, in listing order; the first only
// when `firstOnly`.
QStringList hoopLabels(const QString &mountRoot, bool firstOnly)
{
    QStringList labels;
    // QDir would read an empty path as the working directory.
    if (mountRoot.isEmpty())
        return labels;
    // Dirs keeps only entries the listing calls directories (a link to a
    // directory counts as one); the marker may be any kind of entry.
    const QFileInfoList entries = QDir(mountRoot).entryInfoList(
        QDir::Dirs | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Unsorted);
    for (const QFileInfo &entry : entries) {
        const QString label = entry.fileName();
        if (QFileInfo::exists(volumePath(mountRoot, label, QStringLiteral("hoopinfo.txt")))) {
            labels << label;
            if (firstOnly)
                break;
        }
    }
    return labels;
}

} // namespace

std::optional<QString> findHoopVolumeLabel(const QString &mountRoot)
{
    const QStringList labels = hoopLabels(mountRoot, true);
    return labels.isEmpty() ? std::nullopt : std::optional(labels.first());
}

QList<HoopVolume> findHoopVolumes(const QStringList &mountRoots)
{
    QList<HoopVolume> volumes;
    for (const QString &root : mountRoots)
        for (const QString &label : hoopLabels(root, false))
            volumes.append(HoopVolume{root, label});
    return volumes;
}

std::optional<QString> readHoopSerial(const HoopVolume &volume)
{
    QFile marker(volumePath(volume.mountRoot, volume.label, QStringLiteral("hoopinfo.txt")));
    // A marker of any other kind says nothing; a huge one is not ours.
    if (!QFileInfo(marker).isFile() || !marker.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QByteArray text = marker.read(kMaxMarkerBytes);
    for (const QByteArray &line : text.split('\n')) {
        const qsizetype colon = line.indexOf(':');
        if (colon < 0 || line.left(colon).trimmed().toLower() != "serial")
            continue;
        const QByteArray value = line.mid(colon + 1).trimmed();
        const bool printable =
            std::all_of(value.begin(), value.end(), [](char c) { return c >= 0x20 && c < 0x7f; });
        if (value.isEmpty() || value.size() > kMaxSerialLength || !printable)
            return std::nullopt;
        return QString::fromLatin1(value);
    }
    return std::nullopt;
}

std::optional<HoopVolume> findHoopVolume(const QStringList &mountRoots)
{
    for (const QString &root : mountRoots) {
        if (std::optional<QString> label = findHoopVolumeLabel(root))
            return HoopVolume{root, *label};
    }
    return std::nullopt;
}

QString volumePath(const QString &mountRoot, const QString &label, const QString &fileName)
{
    return mountRoot + QLatin1Char('/') + label + QLatin1Char('/') + fileName;
}

std::optional<QString> writeBootloaderRequest(const QString &mountRoot, const QString &label)
{
    return saveWholeFile(volumePath(mountRoot, label, QStringLiteral("runnow.cfg")),
                         QByteArrayLiteral("bootloader"));
}
