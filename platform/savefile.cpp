#include "platform/savefile.h"

#include <QSaveFile>

std::optional<QString> saveWholeFile(const QString &path, const QByteArray &bytes)
{
    QSaveFile file(path);
    // A small write waits in the buffer, and a commit does not report that last
    // write failing: flush first, so a full disk is not taken for done.
    if (file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.flush() &&
        file.commit())
        return std::nullopt;
    const QString error = file.errorString();
    file.cancelWriting();
    return error.isEmpty() ? QStringLiteral("Could not write ") + path : error;
}
