// Feeds arbitrary bytes to the XML reader and checks the shape of every tree
// it returns. A crash, a sanitizer report or a broken shape is a finding.

#include "catalogue/keypath.h"
#include "catalogue/xmlreader.h"

#include <cstdint>
#include <cstdlib>

namespace {

bool isTrimmable(QChar c)
{
    const char16_t u = c.unicode();
    return (u >= 0x09 && u <= 0x0D) || u == 0x85 || c.category() == QChar::Separator_Space ||
           c.category() == QChar::Separator_Line || c.category() == QChar::Separator_Paragraph;
}

void check(bool ok)
{
    if (!ok)
        abort();
}

// Values are maps, lists of at least two, or strings; "text" is trimmed.
void checkValue(const QVariant &value, int depth)
{
    check(depth <= XMLReader::maxDepth + 1);
    switch (value.typeId()) {
    case QMetaType::QString:
        return;
    case QMetaType::QVariantList: {
        const QVariantList list = value.toList();
        check(list.size() >= 2);
        for (const QVariant &item : list)
            checkValue(item, depth);
        return;
    }
    case QMetaType::QVariantMap: {
        const QVariantMap map = value.toMap();
        for (auto it = map.cbegin(); it != map.cend(); ++it) {
            check(!it.key().isEmpty());
            if (it.key() == QLatin1String("text") && it->typeId() == QMetaType::QString) {
                const QString text = it->toString();
                check(text.isEmpty() || (!isTrimmable(text.front()) && !isTrimmable(text.back())));
            }
            checkValue(*it, depth + 1);
        }
        return;
    }
    default:
        check(false);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    const QString before = QStringLiteral("unchanged");
    QString error = before;
    for (quint64 options : {quint64(0), XMLReaderOptionProcessNamespaces}) {
        const std::optional<QVariantMap> tree =
            XMLReader::dictionaryForXMLData(bytes, options, &error);
        check(error == before);
        if (!tree)
            continue;
        // The container holds the document element and nothing else.
        check(tree->size() == 1);
        check(tree->first().typeId() == QMetaType::QVariantMap);
        checkValue(*tree, 0);
        valueForKeyPath(*tree, QStringLiteral("root.Hoop.FIRMWARE"));
    }
    return 0;
}
