#include "platform/devlog.h"

#include <QMutex>
#include <QMutexLocker>

#include <deque>

Q_LOGGING_CATEGORY(hoopLog, "hoop.updater")

namespace {

struct Kept
{
    QMutex lock;
    std::deque<QString> lines;
};

Kept &kept()
{
    static Kept instance;
    return instance;
}

void keep(QString text)
{
    // Each call is a line of its own; a final line end does not add an empty one.
    if (text.endsWith(QLatin1Char('\n')))
        text.chop(1);
    const QStringList lines = text.split(QLatin1Char('\n'));
    Kept &k = kept();
    QMutexLocker lock(&k.lock);
    for (const QString &line : lines) {
        k.lines.push_back(line.size() > devLogKeptLineLength
                              ? line.left(devLogKeptLineLength) + QStringLiteral(" [cut]")
                              : line);
        if (qsizetype(k.lines.size()) > devLogKeptLines)
            k.lines.pop_front();
    }
}

} // namespace

void devLog(const QString &text)
{
    qCInfo(hoopLog).noquote() << text;
    keep(text);
}

QStringList recentDevLogLines()
{
    Kept &k = kept();
    QMutexLocker lock(&k.lock);
    return QStringList(k.lines.begin(), k.lines.end());
}
