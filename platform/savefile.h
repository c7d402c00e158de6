#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// Replaces the file at `path`, as a whole, with `bytes`: the old file stays
// untouched unless every byte reached the new one. Nothing on success,
// otherwise the platform's reason.
std::optional<QString> saveWholeFile(const QString &path, const QByteArray &bytes);
