#include "catalogue/xmlreader.h"

#include "catalogue/keypath.h"

#include <QXmlStreamReader>

namespace {

// Space, tab, the Unicode space, line and paragraph separators, and
// U+000A..U+000D and U+0085. U+200B and U+FEFF are not white space here.
bool isTrimmable(QChar c)
{
    const char16_t u = c.unicode();
    if ((u >= 0x09 && u <= 0x0D) || u == 0x85)
        return true;
    const QChar::Category cat = c.category();
    return cat == QChar::Separator_Space || cat == QChar::Separator_Line ||
           cat == QChar::Separator_Paragraph;
}

QString trimmed(const QString &text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && isTrimmable(text.at(begin)))
        ++begin;
    while (end > begin && isTrimmable(text.at(end - 1)))
        --end;
    return text.mid(begin, end - begin);
}

} // namespace

std::optional<QVariantMap> XMLReader::dictionaryForXMLData(const QByteArray &data,
                                                           const QString *error)
{
    return dictionaryForXMLData(data, 0, error);
}

std::optional<QVariantMap> XMLReader::dictionaryForXMLData(const QByteArray &data, quint64 options,
                                                           const QString *error)
{
    XMLReader reader(error);
    return reader.objectWithData(data, options);
}

std::optional<QVariantMap> XMLReader::dictionaryForXMLString(const QString &string,
                                                             const QString *error)
{
    return dictionaryForXMLData(string.toUtf8(), error);
}

std::optional<QVariantMap> XMLReader::dictionaryForXMLString(const QString &string, quint64 options,
                                                             const QString *error)
{
    return dictionaryForXMLData(string.toUtf8(), options, error);
}

QVariant XMLReader::getFirmwareList(const QString &url)
{
    return getFirmwareList(url, FetchLimits{});
}

QVariant XMLReader::getFirmwareList(const QString &url, const FetchLimits &limits)
{
    const std::optional<QByteArray> body = fetchUrl(url, limits);
    if (!body)
        return {};
    return firmwareListFromData(*body);
}

QVariant XMLReader::firmwareListFromData(const QByteArray &data)
{
    const QString noError;
    const std::optional<QVariantMap> tree =
        dictionaryForXMLData(data, XMLReaderOptionProcessNamespaces, &noError);
    if (!tree)
        return {};
    return valueForKeyPath(*tree, QStringLiteral("root.Hoop.FIRMWARE"));
}

XMLReader::XMLReader(const QString *error) : errorPointer(error ? *error : QString()) {}

std::optional<QVariantMap> XMLReader::objectWithData(const QByteArray &data, quint64 options)
{
    dictionaryStack = {QVariantMap()};
    nameStack = {};
    textInProgress = QString();
    const bool ok = parse(data, options);
    QList<QVariantMap> stack = std::move(dictionaryStack);
    dictionaryStack = {};
    nameStack = {};
    textInProgress = QString();
    if (!ok || stack.size() != 1)
        return std::nullopt;
    return std::move(stack.first());
}

void XMLReader::parserDidStartElement(const QString &elementName, QVariantMap attributes)
{
    // Maps are values here, so a child enters its parent when it ends rather
    // than when it starts. Siblings end in the order they start, and a parent
    // ends after all its children, so the tree is the same.
    dictionaryStack.append(std::move(attributes));
    nameStack.append(elementName);
}

void XMLReader::parserDidEndElement()
{
    if (dictionaryStack.size() < 2)
        return;
    QVariantMap child = std::move(dictionaryStack.last());
    dictionaryStack.removeLast();
    const QString name = nameStack.takeLast();

    if (!textInProgress.isEmpty()) {
        child.insert(QStringLiteral("text"), trimmed(textInProgress));
        textInProgress = QString();
    }

    QVariantMap &parent = dictionaryStack.last();
    const auto it = parent.find(name);
    if (it == parent.end()) {
        parent.insert(name, std::move(child));
    } else if (it->typeId() == QMetaType::QVariantList) {
        // data() on an unshared variant appends in place, without copying the list.
        static_cast<QVariantList *>(it->data())->append(std::move(child));
    } else {
        *it = QVariantList{std::move(*it), std::move(child)};
    }
}

void XMLReader::parserFoundCharacters(QStringView characters)
{
    textInProgress.append(characters);
}

void XMLReader::parserParseErrorOccurred(const QString &error)
{
    errorPointer = error;
}

bool XMLReader::parse(const QByteArray &data, quint64 options)
{
    const bool localNames = options & XMLReaderOptionProcessNamespaces;
    QXmlStreamReader xml(data);
    xml.setNamespaceProcessing(localNames);

    int depth = 0;
    while (!xml.atEnd()) {
        switch (xml.readNext()) {
        case QXmlStreamReader::StartElement: {
            if (++depth > maxDepth) {
                parserParseErrorOccurred(QStringLiteral("elements nested too deeply"));
                return false;
            }
            QVariantMap attributes;
            for (const QXmlStreamAttribute &attribute : xml.attributes())
                attributes.insert(attribute.qualifiedName().toString(),
                                  attribute.value().toString());
            parserDidStartElement(localNames ? xml.name().toString()
                                             : xml.qualifiedName().toString(),
                                  std::move(attributes));
            break;
        }
        case QXmlStreamReader::EndElement:
            --depth;
            parserDidEndElement();
            break;
        case QXmlStreamReader::Characters:
            // White space and CDATA included: both are character data.
            parserFoundCharacters(xml.text());
            break;
        case QXmlStreamReader::DTD:
            // Refused before any entity is expanded; see the class comment.
            if (!xml.entityDeclarations().isEmpty()) {
                parserParseErrorOccurred(QStringLiteral("entity declarations are not accepted"));
                return false;
            }
            break;
        default:
            break;
        }
    }
    if (xml.hasError()) {
        parserParseErrorOccurred(xml.errorString());
        return false;
    }
    return true;
}
