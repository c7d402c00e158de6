// Feeds arbitrary bytes down the catalogue's path: the reader with namespace
// processing, the "root.Hoop.FIRMWARE" key path and the update check's
// normalisation and name filter. Every name that passes must stay a plain file
// name inside the download directory and leave the server's address alone.

#include "catalogue/keypath.h"
#include "catalogue/updatecheck.h"
#include "catalogue/xmlreader.h"
#include "update/firmwaredownload.h"

#include <QUrl>

#include <cstdint>
#include <cstdlib>

namespace {

void check(bool ok)
{
    if (!ok)
        abort();
}

void checkName(const QVariant &entry, const QString &name)
{
    // The name is the file name less ".zip", as the table shows it.
    check(entry.toMap().value(QStringLiteral("filename")).toString().chopped(4) == name);
    check(name != QStringLiteral(".") && name != QStringLiteral(".."));
    for (const QChar c : name)
        check(c != QLatin1Char('/') && c != QLatin1Char('\\') && c.unicode() >= 0x20 &&
              (c.unicode() < 0x7f || c.unicode() > 0x9f));

    const QString directory = QStringLiteral("/tmp/com.example.fuzz");
    const QString local = firmwareDestination(directory, name);
    check(local.section(QLatin1Char('/'), 0, -2) == directory);

    const QUrl url(firmwareUrl(QStringLiteral("http://127.0.0.1:8080"), name), QUrl::StrictMode);
    if (url.isValid()) {
        check(url.host() == QStringLiteral("127.0.0.1") && url.port() == 8080);
        check(url.path().startsWith(QStringLiteral("/fw-updates/")));
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // Skipped entries are reported to the developer log; keep the run quiet.
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    const std::optional<QVariantMap> tree =
        XMLReader::dictionaryForXMLData(bytes, XMLReaderOptionProcessNamespaces, nullptr);
    if (!tree)
        return 0;
    const QVariant found = valueForKeyPath(*tree, QStringLiteral("root.Hoop.FIRMWARE"));
    const std::optional<QVariantList> usable = usableFirmwareList(found);
    if (!usable) {
        check(!found.isValid() || found.typeId() == QMetaType::QVariantList ||
              found.typeId() == QMetaType::QVariantMap || found.typeId() == QMetaType::QString);
        return 0;
    }
    check(!usable->isEmpty());
    for (const QVariant &entry : *usable) {
        const std::optional<QString> name = firmwareNameOf(entry);
        check(name.has_value());
        checkName(entry, *name);
    }
    describeFirmwareList(*usable);
    return 0;
}
