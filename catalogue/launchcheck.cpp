#include "catalogue/launchcheck.h"

#include <QDeadlineTimer>
#include <QMetaObject>

#include <utility>

UpdateCheck checkForFirmware(const QString &serverBase, const CatalogueTrust &trust,
                             const CheckLog &log, const FetchLimits &limits)
{
    log(QStringLiteral("Checking for updates...\n"));
    const UpdateCheck check = fetchFirmwareList(serverBase, trust, limits);
    if (!check.firmwareList)
        log(updateCheckFailureText(check));
    return check;
}

std::optional<QString> newestFirmwareName(const QVariantList &firmwareList, const QString &wanted)
{
    std::optional<QString> newest;
    for (const QVariant &entry : firmwareList) {
        const std::optional<QString> name = firmwareNameOf(entry);
        if (name && (wanted.isEmpty() || *name == wanted))
            newest = name;
    }
    return newest;
}

LaunchCheck::LaunchCheck(QObject *parent) : QObject(parent) {}

LaunchCheck::~LaunchCheck()
{
    if (m_thread)
        m_thread->wait();
}

void LaunchCheck::prefetch(const QString &serverBase, const CatalogueTrust &trust,
                           const FetchLimits &limits)
{
    if (m_thread)
        return;
    m_active = true;
    auto log = [this](const QString &text) {
        QMutexLocker lock(&m_lock);
        if (m_log)
            m_log(text);
        else
            m_earlyLines.append(text);
    };
    m_thread.reset(QThread::create([this, serverBase, trust, limits, log] {
        const UpdateCheck check = checkForFirmware(serverBase, trust, log, limits);
        {
            QMutexLocker lock(&m_lock);
            m_result = check;
            m_resultCame.wakeAll();
        }
        QMetaObject::invokeMethod(this, &LaunchCheck::handBack, Qt::QueuedConnection);
    }));
    m_thread->setObjectName(QStringLiteral("update check"));
    m_thread->start();
}

bool LaunchCheck::start(const QString &serverBase, const CatalogueTrust &trust, const CheckLog &log,
                        int quickMs)
{
    if (m_started)
        return false;
    m_started = true;
    {
        QMutexLocker lock(&m_lock);
        m_log = log;
        for (const QString &text : std::exchange(m_earlyLines, {}))
            m_log(text);
    }
    prefetch(serverBase, trust);
    // The result, not the thread's end: a thread's exit takes a while.
    const QDeadlineTimer deadline(quickMs);
    QMutexLocker lock(&m_lock);
    while (!m_result && m_resultCame.wait(&m_lock, deadline)) {
    }
    lock.unlock();
    handBack();
    return true;
}

bool LaunchCheck::wait(int milliseconds)
{
    return !m_thread || m_thread->wait(QDeadlineTimer(milliseconds));
}

void LaunchCheck::handBack()
{
    // A prefetched result waits for start.
    if (!m_started)
        return;
    QMutexLocker lock(&m_lock);
    const std::optional<UpdateCheck> check = std::exchange(m_result, std::nullopt);
    lock.unlock();
    if (!check)
        return;
    m_active = false;
    emit finished(*check);
}
