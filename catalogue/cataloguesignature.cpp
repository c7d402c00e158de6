#include "catalogue/cataloguesignature.h"

#include <QDateTime>
#include <QList>
#include <QRegularExpression>

#include <sodium.h>

#include <algorithm>

namespace {

constexpr qsizetype keyIdBytes = 8;
// Algorithm, key id, signature.
constexpr qsizetype signatureLineBytes = 2 + keyIdBytes + crypto_sign_BYTES;
// "Ed", key id, key.
constexpr qsizetype publicKeyLineBytes = 2 + keyIdBytes + crypto_sign_PUBLICKEYBYTES;

struct PublicKey
{
    QByteArray keyId;
    QByteArray key;
};

// Strict base64: padded, no blanks or other characters, canonical last bits,
// and exactly size bytes (a longer text overflows the buffer and fails).
std::optional<QByteArray> decodeBase64(const QByteArray &text, qsizetype size)
{
    QByteArray bytes(size, '\0');
    size_t length = 0;
    if (sodium_base642bin(reinterpret_cast<unsigned char *>(bytes.data()), size_t(bytes.size()),
                          text.constData(), size_t(text.size()), nullptr, &length, nullptr,
                          sodium_base64_VARIANT_ORIGINAL) != 0 ||
        length != size_t(size))
        return std::nullopt;
    return bytes;
}

std::optional<PublicKey> parsePublicKey(const QString &line)
{
    // Characters outside Latin-1 become '?', which base64 refuses.
    const std::optional<QByteArray> bytes =
        decodeBase64(line.trimmed().toLatin1(), publicKeyLineBytes);
    if (!bytes || !bytes->startsWith("Ed"))
        return std::nullopt;
    return PublicKey{bytes->mid(2, keyIdBytes), bytes->mid(2 + keyIdBytes)};
}

// minisign shows a key id as the little-endian number it stores.
QString keyIdText(const QByteArray &keyId)
{
    QByteArray bigEndian = keyId;
    std::reverse(bigEndian.begin(), bigEndian.end());
    return QString::fromLatin1(bigEndian.toHex().toUpper());
}

bool verifyDetached(const QByteArray &signature, const QByteArray &message, const QByteArray &key)
{
    return crypto_sign_verify_detached(
               reinterpret_cast<const unsigned char *>(signature.constData()),
               reinterpret_cast<const unsigned char *>(message.constData()),
               static_cast<unsigned long long>(message.size()),
               reinterpret_cast<const unsigned char *>(key.constData())) == 0;
}

MinisignVerdict refused(MinisignVerdict verdict, const char *why)
{
    verdict.verified = false;
    verdict.refusal = QString::fromLatin1(why);
    return verdict;
}

} // namespace

bool isMinisignPublicKey(const QString &key)
{
    return sodium_init() >= 0 && parsePublicKey(key).has_value();
}

MinisignVerdict verifyMinisign(const QByteArray &data, const QByteArray &signatureFile,
                               const QStringList &publicKeys)
{
    MinisignVerdict verdict;
    if (sodium_init() < 0)
        return refused(verdict, "the signature library could not start");

    const char *notMinisign = "it is not in minisign's format";
    QList<QByteArray> lines = signatureFile.split('\n');
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast(); // the final newline, which may also be missing
    if (lines.size() != 4)
        return refused(verdict, notMinisign);
    for (QByteArray &line : lines)
        if (line.endsWith('\r'))
            line.chop(1);
    static const QByteArray untrustedPrefix("untrusted comment: ");
    static const QByteArray trustedPrefix("trusted comment: ");
    if (!lines[0].startsWith(untrustedPrefix) || !lines[2].startsWith(trustedPrefix))
        return refused(verdict, notMinisign);
    const std::optional<QByteArray> signatureLine = decodeBase64(lines[1], signatureLineBytes);
    const std::optional<QByteArray> globalSignature = decodeBase64(lines[3], crypto_sign_BYTES);
    if (!signatureLine || !globalSignature)
        return refused(verdict, notMinisign);

    const QByteArray algorithm = signatureLine->left(2);
    const QByteArray keyId = signatureLine->mid(2, keyIdBytes);
    const QByteArray signature = signatureLine->mid(2 + keyIdBytes);
    const QByteArray trustedComment = lines[2].mid(trustedPrefix.size());
    verdict.algorithm = QString::fromLatin1(algorithm);
    verdict.keyId = keyIdText(keyId);
    verdict.trustedComment = QString::fromUtf8(trustedComment);
    const bool hashed = algorithm == "ED";
    if (!hashed && algorithm != "Ed")
        return refused(verdict, notMinisign);

    std::optional<PublicKey> signer;
    for (const QString &line : publicKeys) {
        const std::optional<PublicKey> key = parsePublicKey(line);
        if (key && key->keyId == keyId) {
            signer = key;
            break;
        }
    }
    if (!signer)
        return refused(verdict, "signed by an unknown key");

    QByteArray message = data;
    if (hashed) {
        message = QByteArray(crypto_generichash_BYTES_MAX, '\0');
        crypto_generichash(reinterpret_cast<unsigned char *>(message.data()),
                           size_t(message.size()),
                           reinterpret_cast<const unsigned char *>(data.constData()),
                           static_cast<unsigned long long>(data.size()), nullptr, 0);
    }
    if (!verifyDetached(signature, message, signer->key))
        return refused(verdict, "the signature does not match the list");
    // The trusted comment is bound to this very signature, so neither can be
    // taken from another file.
    if (!verifyDetached(*globalSignature, signature + trustedComment, signer->key))
        return refused(verdict, "its trusted comment was altered");

    verdict.verified = true;
    verdict.timestamp = trustedTimestamp(verdict.trustedComment);
    return verdict;
}

std::optional<qint64> trustedTimestamp(const QString &trustedComment)
{
    static const QString prefix = QStringLiteral("timestamp:");
    static const QRegularExpression separators(QStringLiteral("[\t ]"));
    for (const QString &field : trustedComment.split(separators)) {
        if (!field.startsWith(prefix))
            continue;
        const QStringView digits = QStringView(field).mid(prefix.size());
        // 18 digits always fit in a qint64.
        if (digits.isEmpty() || digits.size() > 18)
            return std::nullopt;
        for (const QChar c : digits)
            if (c < QLatin1Char('0') || c > QLatin1Char('9'))
                return std::nullopt;
        return digits.toLongLong();
    }
    return std::nullopt;
}

bool signedInFuture(qint64 timestamp, qint64 now)
{
    return timestamp > now + kSignatureClockSlackSeconds;
}

QString signatureDateText(qint64 timestamp)
{
    const QDateTime date = QDateTime::fromSecsSinceEpoch(timestamp, Qt::UTC);
    // Past the calendar's range: the number is all there is to show.
    if (!date.isValid())
        return QStringLiteral("timestamp %1").arg(timestamp);
    return date.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")) + QStringLiteral(" UTC");
}
