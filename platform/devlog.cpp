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

// A message's lines, without the empty ones: console pieces end in a line
// end, and some begin with one to close a line left open, which in the log
// would be blank lines between messages.
QStringList linesOf(const QString &text)
{
    return text.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

void keep(const QStringList &lines)
{
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
    const QStringList lines = linesOf(text);
    if (lines.isEmpty())
        return;
    qCInfo(hoopLog).noquote() << lines.join(QLatin1Char('\n'));
    keep(lines);
}

QStringList recentDevLogLines()
{
    Kept &k = kept();
    QMutexLocker lock(&k.lock);
    return QStringList(k.lines.begin(), k.lines.end());
}
