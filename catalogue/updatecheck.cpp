#include "catalogue/updatecheck.h"

#include "platform/devlog.h"

#include <QJsonDocument>
#include <QVariantMap>

std::optional<QVariantList> fwList;

QString catalogueUrl(const QString &serverBase)
{
    return serverBase + QStringLiteral("/fw-updates/updates.xml");
}

static bool isPlainFileName(const QString &name)
{
    for (const QChar c : name) {
        if (c == QLatin1Char('/') || c == QLatin1Char('\\') || c.category() == QChar::Other_Control)
            return false;
    }
    return true;
}

std::optional<QString> firmwareNameOf(const QVariant &entry)
{
    if (entry.typeId() != QMetaType::QVariantMap)
        return std::nullopt;
    const QVariant fileName = entry.toMap().value(QStringLiteral("filename"));
    // A child element of that name would make it a dictionary or a list.
    if (fileName.typeId() != QMetaType::QString)
        return std::nullopt;
    const QString file = fileName.toString();
    if (!file.endsWith(QStringLiteral(".zip"), Qt::CaseSensitive) || !isPlainFileName(file))
        return std::nullopt;
    const QString name = file.chopped(4);
    if (name == QStringLiteral(".") || name == QStringLiteral(".."))
        return std::nullopt;
    return name;
}

std::optional<QVariantList> usableFirmwareList(const QVariant &fromCatalogue)
{
    QVariantList entries;
    if (fromCatalogue.typeId() == QMetaType::QVariantList)
        entries = fromCatalogue.toList();
    else if (fromCatalogue.isValid())
        entries = QVariantList{fromCatalogue};

    QVariantList usable;
    for (const QVariant &entry : entries) {
        if (entry.typeId() == QMetaType::QVariantMap && entry.toMap().isEmpty())
            continue;
        if (!firmwareNameOf(entry)) {
            const QString shown =
                entry.typeId() == QMetaType::QVariantMap
                    ? describeFirmwareList({entry})
                    : QStringLiteral("\"") + entry.toString() + QStringLiteral("\"");
            const QVariant file = entry.toMap().value(QStringLiteral("filename"));
            const bool notZip = file.typeId() == QMetaType::QString &&
                                !file.toString().endsWith(QStringLiteral(".zip"));
            devLog((notZip
                        ? QStringLiteral("Leaving out catalogue entry whose file name does not "
                                         "end in \".zip\", so it can't be fetched: ")
                        : QStringLiteral("Skipping catalogue entry without a usable file name: ")) +
                   shown);
            continue;
        }
        usable.append(entry);
    }
    if (usable.isEmpty())
        return std::nullopt;
    return usable;
}

std::optional<QVariantMap> catalogueEntryNamed(const QVariantList &entries, const QString &name)
{
    std::optional<QVariantMap> found;
    for (const QVariant &entry : entries)
        if (firmwareNameOf(entry) == name)
            found = entry.toMap();
    return found;
}

QString describeFirmwareList(const QVariantList &entries)
{
    // Compact: one message, one line of the developer log.
    return QString::fromUtf8(QJsonDocument::fromVariant(entries).toJson(QJsonDocument::Compact));
}

UpdateCheck fetchFirmwareList(const QString &serverBase, const CatalogueTrust &trust,
                              const FetchLimits &limits)
{
    const CatalogueFetch fetched = fetchCatalogue(serverBase, trust, limits);
    UpdateCheck check;
    check.refusal = fetched.refusal;
    check.cause = fetched.failure;
    if (!check.refusal.isEmpty() || !check.cause.isEmpty())
        return check;
    if (!fetched.firmware.isValid()) {
        check.cause = QStringLiteral("The firmware list has no firmware in it.");
        return check;
    }
    check.firmwareList = usableFirmwareList(fetched.firmware);
    if (check.firmwareList)
        devLog(QStringLiteral("FW List: ") + describeFirmwareList(*check.firmwareList));
    else
        check.cause = QStringLiteral("The firmware list has no firmware this program can install "
                                     "(the developer log says why).");
    return check;
}

QString updateCheckReadyText()
{
    return QStringLiteral("Select a firmware and hit \"Update Firmware\"\n");
}

QString updateCheckFailureText(const UpdateCheck &check)
{
    const QString unable = QStringLiteral("Unable to check for latest firmware. Check your "
                                          "internet connection and restart the app.\n");
    if (!check.refusal.isEmpty())
        return QStringLiteral("The firmware list's signature does not verify: ") + check.refusal +
               QStringLiteral(".\n") + unable;
    if (!check.cause.isEmpty())
        return check.cause + QLatin1Char('\n') + unable;
    return unable;
}
