#pragma once

#include <QLoggingCategory>
#include <QString>

// The developer log: diagnostics that never reach the window. Written through
// the "hoop.updater" category at info level; the text is always an argument,
// never a format, so "%" in it is harmless.
Q_DECLARE_LOGGING_CATEGORY(hoopLog)

void devLog(const QString &text);
