#include "catalogue/cataloguefetch.h"

#include "catalogue/cataloguesignature.h"
#include "catalogue/keypath.h"
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
FetchLimits signatureLimits(const FetchLimits &list)
{
    FetchLimits limits;
    limits.helperProgram = list.helperProgram;
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
QString refusalOf(const QString &url, const QByteArray &list, const CatalogueTrust &trust,
                  const FetchLimits &listLimits)
{
    for (const QString &key : trust.publicKeys)
        if (!isMinisignPublicKey(key))
            devLog(
                QStringLiteral("Passing over a trusted key that is not a minisign public key: ") +
                key);
    const QString signatureUrl = url + QStringLiteral(".minisig");
    const std::optional<QByteArray> signature = fetchUrl(signatureUrl, signatureLimits(listLimits));
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

CatalogueFetch fetchCatalogue(const QString &serverBase, const CatalogueTrust &trust,
                              const FetchLimits &limits)
{
    CatalogueFetch fetch;
    const QString url = catalogueUrl(serverBase);
    const FetchResult fetched = fetchResource(url, limits);
    devLog(QStringLiteral("Firmware list: ") + describeFetch(fetched));
    const std::optional<QByteArray> &list = fetched.body;
    if (!list) {
        fetch.failure = catalogueFetchFailure(fetched);
        return fetch;
    }
    // Checked over the very bytes fetched, before the reader sees any of them.
    if (!trust.publicKeys.isEmpty()) {
        fetch.refusal = refusalOf(url, *list, trust, limits);
        if (!fetch.refusal.isEmpty())
            return fetch;
    }
    fetch.failure = catalogueContentFailure(*list, fetched.contentType);
    if (fetch.failure.isEmpty())
        fetch.firmware = XMLReader::firmwareListFromData(*list);
    return fetch;
}

QString catalogueFetchFailure(const FetchResult &fetched)
{
    const QString where = QStringLiteral("%1 port %2").arg(fetched.host).arg(fetched.port);
    switch (fetched.failure) {
    case FetchFailure::None:
        break;
    case FetchFailure::InvalidUrl:
        return QStringLiteral("The update server's address is not a web address: ") + fetched.url +
               QLatin1Char('.');
    case FetchFailure::NoLibrary:
        return QStringLiteral("The firmware list could not be fetched: libcurl could not be "
                              "loaded.");
    case FetchFailure::HostNotFound:
        return QStringLiteral("The update server %1 could not be found (host not found).")
            .arg(where);
    case FetchFailure::Refused:
        return QStringLiteral("The update server %1 refused the connection.").arg(where);
    case FetchFailure::Unreachable:
        return QStringLiteral("The update server %1 could not be reached.").arg(where);
    case FetchFailure::TimedOut:
        return QStringLiteral("The update server %1 did not answer in time.").arg(where);
    case FetchFailure::TooLarge:
        return QStringLiteral("The update server %1 sent more than a firmware list can be.")
            .arg(where);
    case FetchFailure::HttpStatus: {
        const QString status =
            (QString::number(fetched.httpStatus) + QLatin1Char(' ') + fetched.httpReason).trimmed();
        // 4xx: the request reached the server, which has no list for it; 5xx:
        // the server or a proxy in between failed.
        const bool serverSide = fetched.httpStatus >= 500 && fetched.httpStatus <= 599;
        return QStringLiteral("The update server %1 answered HTTP %2%3.")
            .arg(where, status,
                 serverSide ? QStringLiteral(", a fault of the server or of a proxy in between")
                 : fetched.httpStatus >= 400 && fetched.httpStatus <= 499
                     ? QStringLiteral(": it has no firmware list at this address")
                     : QString());
    }
    case FetchFailure::Other:
        break;
    }
    return QStringLiteral("The firmware list could not be fetched from %1: %2.")
        .arg(where, fetched.curlError);
}

QString catalogueContentFailure(const QByteArray &body, const QString &contentType)
{
    const QString noError;
    const std::optional<QVariantMap> tree =
        XMLReader::dictionaryForXMLData(body, XMLReaderOptionProcessNamespaces, &noError);
    // Whatever the server calls it, a list is a list.
    if (tree &&
        valueForKeyPath(*tree, QStringLiteral("root.Hoop")).typeId() == QMetaType::QVariantMap)
        return {};
    const QByteArray start = body.trimmed().left(512).toLower();
    const QString type = contentType.section(QLatin1Char(';'), 0, 0).trimmed().toLower();
    QString what;
    if (start.isEmpty())
        what = QStringLiteral("it is empty");
    else if (type == QStringLiteral("text/html") ||
             type == QStringLiteral("application/xhtml+xml") || start.contains("<!doctype html") ||
             start.contains("<html"))
        what = QStringLiteral("it is a web page (HTML), perhaps a network's sign-in page");
    else if (!tree)
        what = QStringLiteral("it is not XML");
    else
        what = QStringLiteral("it is XML of another kind");
    return QStringLiteral("The update server's reply is not a firmware list: ") + what +
           QLatin1Char('.');
}

QStringList catalogueKeysFromSetting(const QString &setting)
{
    QStringList keys;
    for (const QString &key : setting.split(QLatin1Char(';')))
        if (!key.trimmed().isEmpty())
            keys << key.trimmed();
    return keys;
}
