#include "update/hoopvolume.h"

#include "platform/savefile.h"

#include <QDir>
#include <QFileInfo>

std::optional<QString> findHoopVolumeLabel(const QString &mountRoot)
{
    // QDir would read an empty path as the working directory.
    if (mountRoot.isEmpty())
        return std::nullopt;
    // Dirs keeps only entries the listing calls directories (a link to a
    // directory counts as one); the marker may be any kind of entry.
    const QFileInfoList entries = QDir(mountRoot).entryInfoList(
        QDir::Dirs | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Unsorted);
    for (const QFileInfo &entry : entries) {
        const QString label = entry.fileName();
        if (QFileInfo::exists(volumePath(mountRoot, label, QStringLiteral("hoopinfo.txt"))))
            return label;
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
