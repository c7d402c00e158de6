#include "app/logfile.h"

#include <QSaveFile>

std::optional<QString> writeLogFile(const QString &path, const QString &text)
{
    QSaveFile file(path);
    const QByteArray bytes = text.toUtf8();
    // A commit does not report a failed last write of what sat in the buffer.
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.flush() ||
        !file.commit())
        return file.errorString();
    return std::nullopt;
}
