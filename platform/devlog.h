#pragma once

#include <QLoggingCategory>
#include <QString>
#include <QStringList>

// The developer log: diagnostics that never reach the window. Written through
// the "hoop.updater" category at info level; the text is always an argument,
// never a format, so "%" in it is harmless.
Q_DECLARE_LOGGING_CATEGORY(hoopLog)

void devLog(const QString &text);

// The last lines written to the developer log, oldest first, for the
// diagnostic report: at most devLogKeptLines of them, each cut to
// devLogKeptLineLength characters, so a long session or a tool that prints
// megabytes cannot grow the buffer without bound.
inline constexpr qsizetype devLogKeptLines = 500;
inline constexpr qsizetype devLogKeptLineLength = 2000;
QStringList recentDevLogLines();
