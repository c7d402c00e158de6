#pragma once

#include <QString>
#include <QVariant>
#include <QVariantList>

#include <optional>

// The catalogue's entries as the launch check kept them, in catalogue order:
// written once on the main thread before the update button can be pressed,
// read afterwards by the update run. Nothing when no catalogue could be read.
extern std::optional<QVariantList> fwList;

// base + "/fw-updates/updates.xml"
QString catalogueUrl(const QString &serverBase);

// The firmware name an entry is listed under: its file name without the last
// four characters (".zip"). Nothing for an entry that is not a dictionary, has
// no file name, a file name shorter than four characters, or one that is not a
// plain file name (a separator, a control character, or "." / ".." as the
// firmware name): the name later becomes part of a local path and of a URL.
std::optional<QString> firmwareNameOf(const QVariant &entry);

// Turns what the catalogue query returned into the list the check keeps: a
// single entry becomes a list of one, entries without a usable firmware name
// are dropped (each with a developer-log line). Nothing when no usable entry
// remains.
std::optional<QVariantList> usableFirmwareList(const QVariant &fromCatalogue);

// A readable rendering of the list for the developer log.
QString describeFirmwareList(const QVariantList &entries);
