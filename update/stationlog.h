#pragma once

#include <QDateTime>
#include <QString>

// What a station did with one hoop, as a line of its log.
struct StationRecord
{
    QDateTime time; // when the hoop was done with
    QString port;   // USB port path; empty when it could not be told
    QString serial; // empty when the hoop did not show it
    QString firmware;
    QString sha256; // of the image, in lower-case hex
    bool updated = false;
    int code = 0; // the failure's exit status; not written for an updated hoop
    double seconds = 0;
};

// One record as one line of JSON, its line end included. Keys: "time" (ISO
// 8601, UTC), "port", "serial" (only when known), "firmware", "sha256",
// "result" ("updated" or "failed"), "code" (only on failure), "seconds".
QByteArray stationRecordLine(const StationRecord &record);

// A station's log: records appended to a file, each with one write, so that
// a crash or a second station writing to it can't leave half a record.
class StationLog
{
public:
    // Opens the file for appending, making it when missing; isOpen() and
    // errorString() tell how that went.
    explicit StationLog(const QString &path);
    ~StationLog();
    StationLog(const StationLog &) = delete;
    StationLog &operator=(const StationLog &) = delete;

    bool isOpen() const { return m_fd >= 0; }
    const QString &errorString() const { return m_error; }
    // False (with errorString set) when the whole line could not be written.
    bool append(const StationRecord &record);

private:
    int m_fd = -1;
    QString m_error;
};
