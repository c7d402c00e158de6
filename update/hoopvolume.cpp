#include "update/hoopvolume.h"

#include <QDir>
#include <QFileInfo>
#include <QSaveFile>

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

static QString describe(const QSaveFile &file)
{
    const QString error = file.errorString();
    return error.isEmpty() ? QStringLiteral("Could not write ") + file.fileName() : error;
}

std::optional<QString> writeBootloaderRequest(const QString &mountRoot, const QString &label)
{
    static const QByteArray request("bootloader");
    QSaveFile file(volumePath(mountRoot, label, QStringLiteral("runnow.cfg")));
    if (!file.open(QIODevice::WriteOnly))
        return describe(file);
    if (file.write(request) != request.size()) {
        const QString error = describe(file);
        file.cancelWriting();
        return error;
    }
    // The ten bytes wait in the write buffer, and a commit does not report a
    // failed last write: flush first, so a full volume is not taken for done.
    if (!file.flush() || !file.commit())
        return describe(file);
    return std::nullopt;
}
