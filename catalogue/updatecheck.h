#pragma once

#include "catalogue/cataloguefetch.h"

#include <QString>
#include <QVariant>
#include <QVariantList>
#include <QVariantMap>

#include <optional>

// The catalogue's entries as the launch check kept them, in catalogue order:
// written once on the main thread before the update button can be pressed,
// read afterwards by the update run. Nothing when no catalogue could be read.
extern std::optional<QVariantList> fwList;

// base + "/fw-updates/updates.xml"
QString catalogueUrl(const QString &serverBase);

// The firmware name an entry is listed under: its file name without ".zip".
// Nothing for an entry that is not a dictionary, has no file name, one that
// does not end in ".zip" exactly (the run fetches the name plus ".zip", so no
// other file could ever be found), or one that is not a plain file name (a
// separator, a control character, or "." / ".." as the firmware name): the
// name later becomes part of a local path and of a URL.
std::optional<QString> firmwareNameOf(const QVariant &entry);

// Turns what the catalogue query returned into the list the check keeps: a
// single entry becomes a list of one, entries without a usable firmware name
// are dropped (each with a developer-log line saying why). Nothing when no
// usable entry remains.
std::optional<QVariantList> usableFirmwareList(const QVariant &fromCatalogue);

// The entry the run would install for a firmware name: the last of that name.
std::optional<QVariantMap> catalogueEntryNamed(const QVariantList &entries, const QString &name);

// A readable rendering of the list for the developer log.
QString describeFirmwareList(const QVariantList &entries);

// What one check of the catalogue found.
struct UpdateCheck
{
    // The usable entries, in catalogue order; nothing when the check failed.
    std::optional<QVariantList> firmwareList;
    // Why the list was not trusted, in plain words; empty when it was, or
    // when it could not be fetched at all.
    QString refusal;
    // Otherwise why there is no list, as one console sentence.
    QString cause;
};

// Fetches, verifies and reads the catalogue. Blocking, from any thread: the
// fetch may take as long as its bounds allow.
UpdateCheck fetchFirmwareList(const QString &serverBase, const CatalogueTrust &trust,
                              const FetchLimits &limits = {});

// What the console says, after "Checking for updates...\n", of a check that
// found nothing, and of one that found firmware to choose from.
QString updateCheckFailureText(const UpdateCheck &check);
QString updateCheckReadyText();
