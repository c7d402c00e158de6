#pragma once

#include "platform/httpfetch.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringView>
#include <QVariant>
#include <QVariantMap>

#include <optional>

// Option bits of XMLReader. Other bits are ignored.
//
// ProcessNamespaces: element names are stored by their local name ("item" for
// <p:item>) and prefixes must be declared; without it names are stored as
// written ("p:item") and prefixes need no declaration. Attribute names are
// always stored as written, so "a:x" and "b:x" never collide.
inline constexpr quint64 XMLReaderOptionProcessNamespaces = 1;
// ReportNamespacePrefixes: accepted and ignored; the reader has no use for
// prefix-mapping events, so the tree is the same with or without it.
inline constexpr quint64 XMLReaderOptionReportNamespacePrefixes = 2;
// ResolveExternalEntities: no effect. The tokenizer (QXmlStreamReader) never
// loads external entities; a reference to one contributes no text.
inline constexpr quint64 XMLReaderOptionResolveExternalEntities = 4;

// Turns one XML document into a tree of QVariantMap / QVariantList / QString.
//
// Every element becomes a map holding its attributes under their names, its
// children under their element names and its trimmed character data under
// "text". A second value under a name turns the entry into a list, in
// document order (an attribute before a same-named child). Character data is
// gathered in one buffer for the whole document and goes to the first element
// that ends after it; white space alone becomes "". The result is the document
// container: a map whose only entry is the document element.
//
// A document that is not well-formed yields nothing. So, to keep memory and
// time bounded on hostile input, does one whose DTD declares entities (their
// expansion is the classic way to blow a small document up to gigabytes) and
// one nested deeper than maxDepth elements (the tree is freed recursively).
//
// The error variable handed in is read once, when the reader is made, and
// never written: callers learn of a failure from the missing result alone.
class XMLReader
{
public:
    static constexpr int maxDepth = 256;

    static std::optional<QVariantMap> dictionaryForXMLData(const QByteArray &data,
                                                           const QString *error);
    static std::optional<QVariantMap> dictionaryForXMLData(const QByteArray &data, quint64 options,
                                                           const QString *error);
    // The string is encoded as UTF-8 first.
    static std::optional<QVariantMap> dictionaryForXMLString(const QString &string,
                                                             const QString *error);
    static std::optional<QVariantMap> dictionaryForXMLString(const QString &string, quint64 options,
                                                             const QString *error);

    // Fetches the catalogue at url, parses it with ProcessNamespaces and
    // returns the value at "root.Hoop.FIRMWARE" unchanged: a QVariantList of
    // entries, one entry's QVariantMap, or an invalid QVariant for nothing.
    // Several Hoop elements put a list under "Hoop"; the key path does not
    // search lists, so such a catalogue yields nothing rather than a guess.
    static QVariant getFirmwareList(const QString &url);
    static QVariant getFirmwareList(const QString &url, const FetchLimits &limits);
    // The same for a catalogue already fetched.
    static QVariant firmwareListFromData(const QByteArray &data);

    // error may be null, meaning "no error".
    explicit XMLReader(const QString *error);

    // Each call starts from an empty tree and text buffer.
    std::optional<QVariantMap> objectWithData(const QByteArray &data, quint64 options);

    // The events the tokenizer delivers, in document order.
    void parserDidStartElement(const QString &elementName, QVariantMap attributes);
    void parserDidEndElement();
    void parserFoundCharacters(QStringView characters);
    void parserParseErrorOccurred(const QString &error);

    // The last tokenizer error, or what the caller's variable held.
    QString lastError() const { return errorPointer; }

private:
    bool parse(const QByteArray &data, quint64 options);

    QList<QVariantMap> dictionaryStack;
    QList<QString> nameStack; // element names of dictionaryStack, without the container
    QString textInProgress;
    QString errorPointer;
};
