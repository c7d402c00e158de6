#include "update/firmwarefile.h"

#include "platform/devlog.h"
#include "update/intelhex.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>

namespace {

QString hexAddress(quint64 address)
{
    return QStringLiteral("0x") +
           QString::number(address, 16).toUpper().rightJustified(8, QLatin1Char('0'));
}

// A file name may hold line breaks; a console line must not.
QString oneLine(QString text)
{
    for (QChar &c : text) {
        if (c.category() == QChar::Other_Control)
            c = QLatin1Char('?');
    }
    return text;
}

} // namespace

FirmwareImageCheck checkFirmwareImage(const QByteArray &bytes)
{
    FirmwareImageCheck check;
    const HexParseResult hex = parseIntelHex(std::string_view(bytes.constData(), bytes.size()));
    if (!hex.ok) {
        const QString what = QString::fromStdString(hex.error);
        check.problem = hex.line > 0
                            ? QStringLiteral("not Intel HEX, line %1: %2").arg(hex.line).arg(what)
                            : QStringLiteral("not Intel HEX: ") + what;
        return check;
    }
    if (hex.data.empty()) {
        check.problem = QStringLiteral("it holds no firmware data");
        return check;
    }

    // Images made for the bare chip count from 0 rather than from the flash's
    // address; the tool writes both to the same place, so a mix of them would
    // lay two images over each other. The lowest address tells which one an
    // image uses, so no data can lie below its base.
    const quint64 lowest =
        std::min_element(hex.data.begin(), hex.data.end(), [](const auto &a, const auto &b) {
            return a.address < b.address;
        })->address;
    const quint64 base = lowest >= kFlashBase ? kFlashBase : 0;
    const quint64 application = base + (kApplicationStart - kFlashBase);
    const quint64 end = base + (kFlashEnd - kFlashBase);
    const auto bytesWithin = [](quint64 from, quint64 to, quint64 low, quint64 high) {
        const quint64 first = std::max(from, low);
        const quint64 last = std::min(to, high);
        return first < last ? qint64(last - first) : qint64(0);
    };
    constexpr quint64 nowhere = ~quint64(0);
    quint64 pastEnd = nowhere;   // the first address at or past the flash's end
    quint64 fromFlash = nowhere; // the first counted from 0x80000000 in an image counted from 0
    for (const HexSegment &segment : hex.data) {
        const quint64 from = segment.address;
        const quint64 to = from + segment.bytes.size(); // 64 bits: a segment may pass 4 GiB
        if (base == 0 && from >= kFlashBase)
            fromFlash = std::min(fromFlash, from);
        if (to > end)
            pastEnd = std::min(pastEnd, std::max(from, end));
        check.bootloaderBytes += bytesWithin(from, to, base, application);
        check.applicationBytes += bytesWithin(from, to, application, end);
    }

    if (fromFlash != nowhere) {
        check.problem = QStringLiteral("it mixes data counted from 0 (at %1) with data counted "
                                       "from the flash's address (at %2)")
                            .arg(hexAddress(lowest), hexAddress(fromFlash));
    } else if (pastEnd != nowhere) {
        check.problem = QStringLiteral("data at %1 lies past the end of the hoop's flash")
                            .arg(hexAddress(pastEnd));
    } else if (check.applicationBytes == 0) {
        check.problem = QStringLiteral("it holds no data for the application area (%1 to %2)")
                            .arg(hexAddress(application), hexAddress(end - 1));
    } else if (check.bootloaderBytes > 0) {
        // Accepted: dfu-programmer, told to suppress the bootloader's memory,
        // drops these bytes and writes the rest, as vendors' whole-chip images expect.
        devLog(QStringLiteral("The image holds %1 bytes for the bootloader's area (%2 to %3), "
                              "which the tool leaves out")
                   .arg(check.bootloaderBytes)
                   .arg(hexAddress(base), hexAddress(application - 1)));
    }
    return check;
}

FirmwareFileCheck readFirmwareFile(const QString &path)
{
    FirmwareFileCheck check;
    const QFileInfo info(path);
    check.path = oneLine(info.absoluteFilePath());
    if (!info.exists()) {
        check.refusal = QStringLiteral("no such file");
        return check;
    }
    if (!info.isFile()) {
        check.refusal = QStringLiteral("not a regular file");
        return check;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        check.refusal =
            QStringLiteral("it cannot be read (") + file.errorString() + QStringLiteral(")");
        return check;
    }
    // One byte more than allowed tells a file that is too large, even one still growing.
    const QByteArray bytes = file.read(kFirmwareFileMaxBytes + 1);
    if (file.error() != QFileDevice::NoError) {
        check.refusal =
            QStringLiteral("it cannot be read (") + file.errorString() + QStringLiteral(")");
        return check;
    }
    if (bytes.size() > kFirmwareFileMaxBytes) {
        check.refusal = QStringLiteral("larger than 1 MiB");
        return check;
    }
    const FirmwareImageCheck image = checkFirmwareImage(bytes);
    if (!image.problem.isNull()) {
        check.refusal = image.problem;
        return check;
    }

    QString name = oneLine(info.fileName());
    if (name.endsWith(QStringLiteral(".hex"), Qt::CaseInsensitive))
        name.chop(4);
    check.file = FirmwareFile{check.path, name, bytes, image.applicationBytes};
    return check;
}

QString firmwareFileLine(const FirmwareFileCheck &check)
{
    if (!check.file)
        return QStringLiteral("Firmware file refused: ") + check.path + QStringLiteral(": ") +
               check.refusal + QStringLiteral("\n");
    return QStringLiteral("Firmware file chosen: ") + check.path + QStringLiteral(" (") +
           QString::number(check.file->dataBytes) + QStringLiteral(" bytes of firmware)\n");
}

std::optional<FirmwareFile> takeFirmwareFile(const QString &path,
                                             const std::function<void(const QString &)> &log)
{
    FirmwareFileCheck check = readFirmwareFile(path);
    log(firmwareFileLine(check));
    return std::move(check.file);
}
