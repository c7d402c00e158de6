#include "platform/usbport.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

#include <sys/stat.h>
#include <sys/sysmacros.h>

std::optional<QString> usbPortOfPath(const QString &path, const QString &sysRoot)
{
    struct stat info
    {};
    if (path.isEmpty() || ::stat(QFile::encodeName(path).constData(), &info) != 0)
        return std::nullopt;
    const QString link =
        sysRoot +
        QStringLiteral("/dev/block/%1:%2").arg(major(info.st_dev)).arg(minor(info.st_dev));
    const QString devices = QFileInfo(sysRoot + QStringLiteral("/devices")).canonicalFilePath();
    QString directory = QFileInfo(link).canonicalFilePath();
    if (devices.isEmpty() || directory.isEmpty())
        return std::nullopt;
    // A USB device's directory is named for its port path and holds its bus
    // and device numbers; its interfaces ("1-2:1.0") and the root hubs
    // ("usb1") are named otherwise.
    static const QRegularExpression portPath(QStringLiteral("^[0-9]+-[0-9]+(\\.[0-9]+)*$"));
    while (directory.startsWith(devices + QLatin1Char('/'))) {
        const QString name = QFileInfo(directory).fileName();
        if (portPath.match(name).hasMatch() && QFileInfo::exists(directory + "/busnum") &&
            QFileInfo::exists(directory + "/devnum"))
            return name;
        directory = QFileInfo(directory).path();
    }
    return std::nullopt;
}
