#include "catalogue/cataloguefetch.h"

#include "catalogue/cataloguesignature.h"
#include "catalogue/updatecheck.h"
#include "catalogue/xmlreader.h"
#include "platform/devlog.h"
#include "platform/httpfetch.h"
#include "platform/savefile.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

// A signature file is a few hundred bytes; this leaves room for long comments
// and keeps a hostile server from handing us megabytes or holding us long.
FetchLimits signatureLimits()
{
    FetchLimits limits;
    limits.maxBytes = 8 * 1024;
    limits.totalSeconds = 60;
    return limits;
}

// The timestamp of the last list this user accepted; 0 when none was kept or
// the file can't be read, which only means no earlier list is known.
qint64 lastAcceptedTimestamp(const QString &stateFile)
{
    QFile file(stateFile);
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    bool ok = false;
    const qint64 timestamp = file.read(64).trimmed().toLongLong(&ok);
    return ok ? timestamp : 0;
}

void keepLastAccepted(const QString &stateFile, qint64 timestamp)
{
    QDir().mkpath(QFileInfo(stateFile).absolutePath());
    if (const std::optional<QString> error =
            saveWholeFile(stateFile, QByteArray::number(timestamp) + '\n'))
        devLog(QStringLiteral("Could not keep the firmware list's timestamp in %1: %2")
                   .arg(stateFile, *error));
}

// Empty when the list may be read; otherwise why not, in plain words.
QString refusalOf(const QString &url, const QByteArray &list, const CatalogueTrust &trust)
{
    for (const QString &key : trust.publicKeys)
        if (!isMinisignPublicKey(key))
            devLog(
                QStringLiteral("Passing over a trusted key that is not a minisign public key: ") +
                key);
    const QString signatureUrl = url + QStringLiteral(".minisig");
    const std::optional<QByteArray> signature = fetchUrl(signatureUrl, signatureLimits());
    if (!signature) {
        devLog(QStringLiteral("Firmware list signature: could not fetch ") + signatureUrl);
        return QStringLiteral("it is missing");
    }
    const MinisignVerdict verdict = verifyMinisign(list, *signature, trust.publicKeys);
    const QString details = QStringLiteral("key id %1, algorithm %2, trusted comment \"%3\"")
                                .arg(verdict.keyId, verdict.algorithm, verdict.trustedComment);
    if (!verdict.verified) {
        devLog(QStringLiteral("Firmware list signature refused (%1): %2")
                   .arg(verdict.refusal, details));
        return verdict.refusal;
    }
    // Refused, not taken with a lowered floor: kept, its date would lock out
    // every correctly dated list until then. The date tells whose clock is wrong.
    if (verdict.timestamp &&
        signedInFuture(*verdict.timestamp, QDateTime::currentSecsSinceEpoch())) {
        const QString date = signatureDateText(*verdict.timestamp);
        devLog(QStringLiteral("Firmware list refused: signed with timestamp %1 (%2), more than a "
                              "day past this computer's clock (%3); %4")
                   .arg(*verdict.timestamp)
                   .arg(date, signatureDateText(QDateTime::currentSecsSinceEpoch()), details));
        return QStringLiteral("it is dated in the future, %1, more than a day past this "
                              "computer's clock")
            .arg(date);
    }
    // A list without a timestamp can't be ordered, so only timestamped ones are.
    if (verdict.timestamp && !trust.stateFile.isEmpty()) {
        const qint64 last = lastAcceptedTimestamp(trust.stateFile);
        if (*verdict.timestamp < last) {
            devLog(QStringLiteral("Firmware list refused: signed with timestamp %1, older than "
                                  "%2 of the list accepted before (%3; remove that file if the "
                                  "earlier list was dated wrongly); %4")
                       .arg(*verdict.timestamp)
                       .arg(last)
                       .arg(trust.stateFile, details));
            return QStringLiteral("the list is older than the one accepted before");
        }
        if (*verdict.timestamp > last)
            keepLastAccepted(trust.stateFile, *verdict.timestamp);
    }
    devLog(QStringLiteral("Firmware list signature verified: ") + details);
    return {};
}

} // namespace

CatalogueFetch fetchCatalogue(const QString &serverBase, const CatalogueTrust &trust)
{
    CatalogueFetch fetch;
    const QString url = catalogueUrl(serverBase);
    const std::optional<QByteArray> list = fetchUrl(url);
    if (!list)
        return fetch;
    // Checked over the very bytes fetched, before the reader sees any of them.
    if (!trust.publicKeys.isEmpty()) {
        fetch.refusal = refusalOf(url, *list, trust);
        if (!fetch.refusal.isEmpty())
            return fetch;
    }
    fetch.firmware = XMLReader::firmwareListFromData(*list);
    return fetch;
}

QStringList catalogueKeysFromSetting(const QString &setting)
{
    QStringList keys;
    for (const QString &key : setting.split(QLatin1Char(';')))
        if (!key.trimmed().isEmpty())
            keys << key.trimmed();
    return keys;
}
