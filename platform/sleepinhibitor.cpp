#include "platform/sleepinhibitor.h"

#include "platform/devlog.h"

#if defined(Q_OS_MACOS)
#include <IOKit/pwr_mgt/IOPMLib.h>
#elif defined(Q_OS_UNIX)
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusReply>
#endif

namespace {

void notHeld(const QString &reason)
{
    devLog(QStringLiteral("Could not keep the computer awake during the update: ") + reason);
}

void held()
{
    devLog(QStringLiteral("Keeping the computer awake until the update ends"));
}

} // namespace

#if defined(Q_OS_MACOS)

SleepInhibitor::SleepInhibitor(const QString &who, const QString &why)
{
    // Idle sleep is what an assertion can stop; a closed lid still sleeps.
    const CFStringRef name = (who + QStringLiteral(": ") + why).toCFString();
    IOPMAssertionID assertion = kIOPMNullAssertionID;
    const IOReturn result = IOPMAssertionCreateWithName(
        kIOPMAssertionTypePreventUserIdleSystemSleep, kIOPMAssertionLevelOn, name, &assertion);
    CFRelease(name);
    if (result != kIOReturnSuccess) {
        notHeld(QStringLiteral("IOKit error 0x") + QString::number(quint32(result), 16));
        return;
    }
    m_assertion = assertion;
    held();
}

SleepInhibitor::~SleepInhibitor()
{
    if (m_assertion != kIOPMNullAssertionID)
        IOPMAssertionRelease(m_assertion);
}

#elif defined(Q_OS_UNIX)

SleepInhibitor::SleepInhibitor(const QString &who, const QString &why)
{
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected()) {
        notHeld(bus.lastError().message());
        return;
    }
    QDBusMessage inhibit = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
        QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("Inhibit"));
    inhibit << QStringLiteral("sleep:idle") << who << why << QStringLiteral("block");
    // A busy or hung bus must not hold the update back for long.
    const QDBusReply<QDBusUnixFileDescriptor> reply = bus.call(inhibit, QDBus::Block, 5000);
    if (!reply.isValid()) {
        notHeld(reply.error().message());
        return;
    }
    if (!reply.value().isValid()) {
        notHeld(QStringLiteral("the login manager answered without a descriptor"));
        return;
    }
    m_lock = reply.value();
    held();
}

SleepInhibitor::~SleepInhibitor() = default;

#else

SleepInhibitor::SleepInhibitor(const QString &, const QString &)
{
    notHeld(QStringLiteral("not supported on this system"));
}

SleepInhibitor::~SleepInhibitor() = default;

#endif
