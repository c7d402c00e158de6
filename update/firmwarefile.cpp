#include "update/firmwarefile.h"

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

QString firmwareImageProblem(const QByteArray &bytes, qint64 *dataBytes)
{
    const HexParseResult hex = parseIntelHex(std::string_view(bytes.constData(), bytes.size()));
    if (!hex.ok) {
        const QString what = QString::fromStdString(hex.error);
        return hex.line > 0 ? QStringLiteral("not Intel HEX, line %1: %2").arg(hex.line).arg(what)
                            : QStringLiteral("not Intel HEX: ") + what;
    }
    if (hex.data.empty())
        return QStringLiteral("it holds no firmware data");

    // Images made for the bare chip start at 0 rather than at the flash's
    // address; the tool writes both to the same place, but not a mix of them.
    const quint64 base = hex.data.front().address >= kFlashBase ? kFlashBase : 0;
    const quint64 first = base + (kApplicationStart - kFlashBase);
    const quint64 end = base + (kFlashEnd - kFlashBase);
    qint64 total = 0;
    for (const HexSegment &segment : hex.data) {
        const quint64 from = segment.address;
        const quint64 to = from + segment.bytes.size(); // 64 bits: a segment may pass 4 GiB
        if (from < first || to > end) {
            const quint64 outside = from < first ? from : std::max(from, end);
            return QStringLiteral("data at %1 lies outside the hoop's application flash "
                                  "(%2 to %3)")
                .arg(hexAddress(outside), hexAddress(first), hexAddress(end - 1));
        }
        total += qint64(segment.bytes.size());
    }
    if (dataBytes)
        *dataBytes = total;
    return {};
}

FirmwareImageCheck checkFirmwareImage(const QByteArray &bytes)
{
    FirmwareImageCheck check;
    check.problem = firmwareImageProblem(bytes, &check.applicationBytes);
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
    qint64 dataBytes = 0;
    check.refusal = firmwareImageProblem(bytes, &dataBytes);
    if (!check.refusal.isNull())
        return check;

    QString name = oneLine(info.fileName());
    if (name.endsWith(QStringLiteral(".hex"), Qt::CaseInsensitive))
        name.chop(4);
    check.file = FirmwareFile{check.path, name, bytes, dataBytes};
    return check;
}
