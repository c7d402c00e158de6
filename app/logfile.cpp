#include "app/logfile.h"

#include "platform/savefile.h"

std::optional<QString> writeLogFile(const QString &path, const QString &text)
{
    return saveWholeFile(path, text.toUtf8());
}
