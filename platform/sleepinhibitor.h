#pragma once

#include <QString>

#if defined(Q_OS_MACOS)
#include <cstdint>
#elif defined(Q_OS_UNIX)
#include <QDBusUnixFileDescriptor>
#endif

// Keeps the computer from sleeping, by the system's timer or on request, for
// as long as the object lives: a hoop left half-written by a suspend needs
// the bootloader to recover. Taking it never fails the caller; when the
// system won't grant it, one developer-log line says why.
//
// On Linux and other Unix this asks logind over the system bus, a call that
// may block for a few seconds: construct it off the main thread. On macOS it
// is a power assertion.
class SleepInhibitor
{
public:
    SleepInhibitor(const QString &who, const QString &why);
    ~SleepInhibitor();
    SleepInhibitor(const SleepInhibitor &) = delete;
    SleepInhibitor &operator=(const SleepInhibitor &) = delete;

private:
#if defined(Q_OS_MACOS)
    std::uint32_t m_assertion = 0; // an IOPMAssertionID; 0 is never a valid one
#elif defined(Q_OS_UNIX)
    // logind lets go once the last copy of this descriptor is closed.
    QDBusUnixFileDescriptor m_lock;
#endif
};
