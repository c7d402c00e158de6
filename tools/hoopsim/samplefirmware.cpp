#include "samplefirmware.h"

#include "update/intelhex.h"

#include <QDir>
#include <QSaveFile>

#include <vector>

namespace hoopsim {

namespace {

constexpr std::uint32_t applicationStart = 0x80002000u;
constexpr int applicationSize = 0x40000 - 0x2000;
constexpr int recordSize = 16;
// One 16-byte data record is 44 characters of text with its line end.
constexpr int textPerRecord = 1 + 2 + 4 + 2 + 2 * recordSize + 2 + 1;

bool writeFile(const QString &path, const QByteArray &bytes, QString *error)
{
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.commit())
        return true;
    if (error)
        *error = QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
    return false;
}

} // namespace

QList<SampleFirmware> sampleFirmwareSet()
{
    return {
        {QStringLiteral("hoop-fw-1.0.0"), QStringLiteral("First release: 12 patterns")},
        {QStringLiteral("hoop-fw-1.1.0"), QStringLiteral("Adds 8 patterns and a battery gauge")},
        {QStringLiteral("hoop-fw-1.2.0"),
         QStringLiteral("Smoother fades, longer battery life, USB fixes")},
    };
}

QByteArray sampleFirmwareHex(const QString &name, int approxBytes)
{
    const int records = std::max(1, approxBytes / textPerRecord);
    const int size = std::min(records * recordSize, applicationSize);

    // A recognisable header, then bytes from a small generator seeded by the
    // name: stable across runs and platforms, different per image.
    std::vector<std::uint8_t> data(std::size_t(size), 0);
    const QByteArray header = "VXHOOP " + name.toUtf8() + '\0';
    std::uint32_t seed = 2166136261u;
    for (char c : name.toUtf8())
        seed = (seed ^ std::uint8_t(c)) * 16777619u;
    for (int i = 0; i < size; ++i) {
        seed ^= seed << 13;
        seed ^= seed >> 17;
        seed ^= seed << 5;
        data[std::size_t(i)] = i < header.size() ? std::uint8_t(header[i]) : std::uint8_t(seed);
    }
    const std::string text = writeIntelHex(applicationStart, data, recordSize, applicationStart);
    return QByteArray(text.data(), qsizetype(text.size()));
}

QStringList writeSampleFirmware(const QString &dir, int approxBytes, QString *error)
{
    if (!QDir().mkpath(dir)) {
        if (error)
            *error = QStringLiteral("cannot create %1").arg(dir);
        return {};
    }
    QStringList paths;
    for (const SampleFirmware &fw : sampleFirmwareSet()) {
        const QString base = QDir(dir).absoluteFilePath(fw.name);
        if (!writeFile(base + QStringLiteral(".zip"), sampleFirmwareHex(fw.name, approxBytes),
                       error) ||
            !writeFile(base + QStringLiteral(".desc"), fw.description.toUtf8() + '\n', error))
            return {};
        paths << base + QStringLiteral(".zip");
    }
    return paths;
}

} // namespace hoopsim
