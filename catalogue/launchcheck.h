#pragma once

#include "catalogue/updatecheck.h"

#include <QMutex>
#include <QObject>
#include <QThread>
#include <QWaitCondition>

#include <functional>
#include <memory>
#include <optional>

// Where a check's console lines go; may be called from any thread.
using CheckLog = std::function<void(const QString &text)>;

// The check both the window and the terminal make: "Checking for
// updates...", the fetch, and on failure the lines that say so. Blocking.
UpdateCheck checkForFirmware(const QString &serverBase, const CatalogueTrust &trust,
                             const CheckLog &log, const FetchLimits &limits = {});

// The entry to install from a list: the newest (the last), or with `wanted`
// the last one listed under that firmware name; nothing when there is none.
std::optional<QString> newestFirmwareName(const QVariantList &firmwareList,
                                          const QString &wanted = QString());

// The window's check, on a thread of its own, so that the window paints and
// its menu works while the server is slow. The result is handed back on the
// thread that started it, as `finished`.
class LaunchCheck : public QObject
{
    Q_OBJECT

public:
    explicit LaunchCheck(QObject *parent = nullptr);
    // Waits for the check's thread.
    ~LaunchCheck() override;

    // Begins the check on its thread at once, before there is a console to
    // report to: its lines wait for start, which then reports the check as
    // its own. Lets the catalogue come while the window is still being built.
    void prefetch(const QString &serverBase, const CatalogueTrust &trust,
                  const FetchLimits &limits = {});
    // Once per object; false when it was started before. Begins the check
    // unless prefetch did. A result that comes within `quickMs` is handed
    // back before this returns.
    bool start(const QString &serverBase, const CatalogueTrust &trust, const CheckLog &log,
               int quickMs);
    // From prefetch or start until `finished` has been emitted.
    bool isActive() const { return m_active; }
    // Blocks until the check's thread has ended, at most `milliseconds`
    // (negative: for as long as it takes); the result still comes as `finished`.
    bool wait(int milliseconds);

signals:
    void finished(const UpdateCheck &check);

private:
    void handBack();

    std::unique_ptr<QThread> m_thread;
    bool m_active = false;
    bool m_started = false;
    // What the check's thread hands over: its lines, and its result.
    QMutex m_lock;
    CheckLog m_log;           // from start on
    QStringList m_earlyLines; // written before start
    std::optional<UpdateCheck> m_result;
    QWaitCondition m_resultCame;
};
