// Arbitrary bytes through the XML reader under both option sets (every tree
// must keep its shape), then down the catalogue's path: key path, normalisation
// and name filter. The same bytes are also read as the list's minisign
// signature file, which must never verify. A crash, a sanitizer report or a
// failed check is a finding.

#include "catalogue/cataloguesignature.h"
#include "catalogue/keypath.h"
#include "catalogue/updatecheck.h"
#include "catalogue/xmlreader.h"
#include "update/firmwaredownload.h"

#include <QUrl>

#include <cstdint>
#include <cstdlib>

namespace {

// The key of the corpus's *.minisig seeds, real signatures over this list with
// another digest, so that the fuzzer starts past the key id; no one holds the
// secret key any longer, and nothing it signed is this list.
const QString kSigningKey =
    QStringLiteral("RWQLXqGKyRbs6Cfn9g/G4yXI+zyRK03qDr79BeFD9mdvXDUUX4BZ2fM7");
const QByteArray kList = "<root><Hoop><FIRMWARE filename=\"hoop-fw-1.0.0.zip\" "
                         "MD5=\"00000000000000000000000000000000\"/></Hoop></root>\n";

void check(bool ok)
{
    if (!ok)
        abort();
}

// Values are maps, lists of at least two, or strings; "text" is trimmed.
void checkValue(const QVariant &value, int depth)
{
    check(depth <= XMLReader::maxDepth + 1);
    if (value.typeId() == QMetaType::QVariantList) {
        const QVariantList list = value.toList();
        check(list.size() >= 2);
        for (const QVariant &item : list)
            checkValue(item, depth);
    } else if (value.typeId() == QMetaType::QVariantMap) {
        const QVariantMap map = value.toMap();
        for (auto it = map.cbegin(); it != map.cend(); ++it) {
            // The reader's white space is QChar::isSpace's.
            if (it.key() == QLatin1String("text") && it->typeId() == QMetaType::QString)
                check(it->toString() == it->toString().trimmed());
            checkValue(*it, depth + 1);
        }
    } else {
        check(value.typeId() == QMetaType::QString);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // Skipped entries are reported to the developer log; keep the run quiet.
    [[maybe_unused]] static const auto quiet =
        qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    const MinisignVerdict verdict = verifyMinisign(kList, bytes, {kSigningKey});
    check(!verdict.verified && !verdict.refusal.isEmpty());
    std::optional<QVariantMap> tree;
    for (quint64 options : {quint64(0), XMLReaderOptionProcessNamespaces}) {
        tree = XMLReader::dictionaryForXMLData(bytes, options, nullptr);
        if (!tree)
            continue;
        // The container holds the document element and nothing else.
        check(tree->size() == 1 && tree->first().typeId() == QMetaType::QVariantMap);
        checkValue(*tree, 0);
    }
    if (!tree)
        return 0;
    const QVariant found = valueForKeyPath(*tree, QStringLiteral("root.Hoop.FIRMWARE"));
    const std::optional<QVariantList> usable = usableFirmwareList(found);
    if (!usable)
        return 0;
    check(!usable->isEmpty());
    const QString directory = QStringLiteral("/tmp/com.example.fuzz");
    for (const QVariant &entry : *usable) {
        // A name that passes is the file name less ".zip", as the table shows it, stays a plain
        // file name inside the download directory and leaves the server's address alone.
        const QString name = firmwareNameOf(entry).value_or(QStringLiteral("/")); // "/" fails
        check(entry.toMap().value(QStringLiteral("filename")).toString().chopped(4) == name);
        check(name != QStringLiteral(".") && name != QStringLiteral(".."));
        for (const QChar c : name)
            check(c != QLatin1Char('/') && c != QLatin1Char('\\') && c.unicode() >= 0x20 &&
                  (c.unicode() < 0x7f || c.unicode() > 0x9f));
        check(firmwareDestination(directory, name).section(QLatin1Char('/'), 0, -2) == directory);
        const QUrl url(firmwareUrl(QStringLiteral("http://127.0.0.1:8080"), name),
                       QUrl::StrictMode);
        check(!url.isValid() || (url.host() == QStringLiteral("127.0.0.1") && url.port() == 8080 &&
                                 url.path().startsWith(QStringLiteral("/fw-updates/"))));
    }
    describeFirmwareList(*usable);
    return 0;
}
