#pragma once

#include <QString>

#include <optional>

// Writes the log console's text to `path` as UTF-8, replacing the file whole
// or not at all. Answers the reason when it could not, nothing on success.
std::optional<QString> writeLogFile(const QString &path, const QString &text);
