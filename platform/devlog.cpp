#include "platform/devlog.h"

Q_LOGGING_CATEGORY(hoopLog, "hoop.updater")

void devLog(const QString &text)
{
    qCInfo(hoopLog).noquote() << text;
}
