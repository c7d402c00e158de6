#include "catalogue/launchcheck.h"

#include <QDeadlineTimer>
#include <QMetaObject>

#include <utility>

UpdateCheck checkForFirmware(const QString &serverBase, const CatalogueTrust &trust,
                             const CheckLog &log)
{
    log(QStringLiteral("Checking for updates...\n"));
    const UpdateCheck check = fetchFirmwareList(serverBase, trust);
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

bool LaunchCheck::start(const QString &serverBase, const CatalogueTrust &trust, const CheckLog &log,
                        int quickMs)
{
    if (m_thread)
        return false;
    m_active = true;
    m_thread.reset(QThread::create([this, serverBase, trust, log] {
        const UpdateCheck check = checkForFirmware(serverBase, trust, log);
        {
            QMutexLocker lock(&m_lock);
            m_result = check;
        }
        QMetaObject::invokeMethod(this, &LaunchCheck::handBack, Qt::QueuedConnection);
    }));
    m_thread->setObjectName(QStringLiteral("update check"));
    m_thread->start();
    if (m_thread->wait(QDeadlineTimer(quickMs)))
        handBack();
    return true;
}

bool LaunchCheck::wait(int milliseconds)
{
    return !m_thread || m_thread->wait(QDeadlineTimer(milliseconds));
}

void LaunchCheck::handBack()
{
    QMutexLocker lock(&m_lock);
    const std::optional<UpdateCheck> check = std::exchange(m_result, std::nullopt);
    lock.unlock();
    if (!check)
        return;
    m_active = false;
    emit finished(*check);
}
