#include "update/stationlog.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

#include <cerrno>
#include <cmath>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

QByteArray stationRecordLine(const StationRecord &record)
{
    QJsonObject object{
        {QStringLiteral("time"), record.time.toUTC().toString(Qt::ISODate)},
        {QStringLiteral("port"), record.port},
        {QStringLiteral("firmware"), record.firmware},
        {QStringLiteral("sha256"), record.sha256},
        {QStringLiteral("result"),
         record.updated ? QStringLiteral("updated") : QStringLiteral("failed")},
        {QStringLiteral("seconds"), std::round(record.seconds * 10) / 10},
    };
    if (!record.serial.isEmpty())
        object.insert(QStringLiteral("serial"), record.serial);
    if (!record.updated)
        object.insert(QStringLiteral("code"), record.code);
    return QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
}

StationLog::StationLog(const QString &path)
{
    m_fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC,
                  0644);
    if (m_fd < 0)
        m_error = QString::fromLocal8Bit(std::strerror(errno));
}

StationLog::~StationLog()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

bool StationLog::append(const StationRecord &record)
{
    const QByteArray line = stationRecordLine(record);
    ssize_t written;
    do
        written = ::write(m_fd, line.constData(), size_t(line.size()));
    while (written < 0 && errno == EINTR);
    if (written == line.size()) {
        // On the disk before the next hoop, should the power go.
        ::fdatasync(m_fd);
        return true;
    }
    m_error = written < 0 ? QString::fromLocal8Bit(std::strerror(errno))
                          : QStringLiteral("only part of a record was written");
    return false;
}
