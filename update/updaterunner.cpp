#include "update/updaterunner.h"

#include "platform/sleepinhibitor.h"

#include <QDeadlineTimer>

#include <utility>

namespace {

// A suspend in the middle of a flash leaves the hoop half-written. Taking it
// may block a moment, so never on the window's thread.
SleepInhibitor keepAwake()
{
    return SleepInhibitor(QStringLiteral("Vexlume Hoop Updater"),
                          QStringLiteral("The Vexlume Hoop's firmware is being updated"));
}

} // namespace

UpdateRunner::UpdateRunner(RunSettings settings, HoopSetup hoop, RunObserver &observer,
                           QObject *parent)
    : QObject(parent), m_settings(std::move(settings)), m_hoop(std::move(hoop)),
      m_observer(observer)
{}

UpdateRunner::~UpdateRunner()
{
    if (m_worker)
        m_worker->wait();
}

bool UpdateRunner::start(UpdateRequest request)
{
    if (m_worker)
        return false;
    m_running.store(true);
    m_worker.reset(QThread::create([this, request = std::move(request)] {
        // The hold ends with this thread, so also when a halted run gives up.
        const SleepInhibitor awake = keepAwake();
        const UpdateRunOutcome outcome =
            ended(performUpdateRun(m_hoop.hoop(), request, m_settings, *this));
        emit finished(outcome);
    }));
    m_worker->setObjectName(QStringLiteral("update run"));
    m_worker->start(QThread::LowestPriority);
    return true;
}

UpdateRunOutcome UpdateRunner::run(const UpdateRequest &request)
{
    m_running.store(true);
    const SleepInhibitor awake = keepAwake();
    return ended(performUpdateRun(m_hoop.hoop(), request, m_settings, *this));
}

UpdateRunOutcome
UpdateRunner::runStation(const UpdateRequest &request,
                         const std::function<bool(const StationTally &)> &afterEachHoop,
                         StationTally &tally)
{
    return withImage(request, [&](const PreparedImage &image) {
        tally = ::runStation(m_hoop.hoop(), image, request.waitLimitSeconds, *this, afterEachHoop);
    });
}

UpdateRunOutcome UpdateRunner::runParallelStation(
    const UpdateRequest &request, const std::function<bool(const StationTally &)> &keepGoing,
    const std::function<void(const HoopResult &)> &hoopDone, StationTally &tally)
{
    return withImage(request, [&](const PreparedImage &image) {
        tally = ::runParallelStation(m_hoop.hoop(), image, request.waitLimitSeconds, *this,
                                     keepGoing, hoopDone);
    });
}

UpdateRunOutcome UpdateRunner::withImage(const UpdateRequest &request,
                                         const std::function<void(const PreparedImage &)> &hoops)
{
    m_running.store(true);
    const SleepInhibitor awake = keepAwake();
    // Aborted, whether the image or a hoop threw, is the generic failure.
    return ended(guarded([&] {
        PreparedImage image;
        const UpdateRunOutcome outcome = prepareImage(request, m_settings, *this, image);
        if (outcome == UpdateRunOutcome::Succeeded)
            hoops(image);
        return outcome;
    }));
}

UpdateRunOutcome UpdateRunner::ended(UpdateRunOutcome outcome)
{
    m_outcome.store(outcome);
    // After a failed request write the run stops where it is: the user is told
    // to restart, and it counts as running until then.
    if (outcome != UpdateRunOutcome::Halted)
        m_running.store(false);
    return outcome;
}

bool UpdateRunner::isActive() const
{
    return m_worker && !m_worker->isFinished();
}

bool UpdateRunner::wait(int milliseconds)
{
    return !m_worker || m_worker->wait(QDeadlineTimer(milliseconds));
}

bool UpdateRunner::isProgramming() const
{
    const std::lock_guard<std::mutex> lock(m_lock);
    return m_programming > 0;
}

UpdateRunner::Quit UpdateRunner::requestQuit(const std::function<void()> &quitNow,
                                             const std::function<void()> &whenProgrammed)
{
    const std::lock_guard<std::mutex> lock(m_lock);
    if (m_programming == 0) {
        quitNow();
        return Quit::Now;
    }
    if (whenProgrammed && !m_whenProgrammed)
        m_whenProgrammed = whenProgrammed;
    return std::exchange(m_quitRequested, true) ? Quit::DeferredBefore : Quit::Deferred;
}

bool UpdateRunner::quitUnlessProgramming(const std::function<void()> &quitNow)
{
    const std::lock_guard<std::mutex> lock(m_lock);
    if (m_programming > 0)
        return false;
    quitNow();
    return true;
}

bool UpdateRunner::quitRequested() const
{
    const std::lock_guard<std::mutex> lock(m_lock);
    return m_quitRequested;
}

void UpdateRunner::updateUILog(const QString &text)
{
    m_observer.updateUILog(text);
}

void UpdateRunner::programmingBegins()
{
    {
        const std::lock_guard<std::mutex> lock(m_lock);
        ++m_programming;
    }
    m_observer.programmingBegins();
}

void UpdateRunner::programmingEnds()
{
    std::function<void()> quit;
    {
        const std::lock_guard<std::mutex> lock(m_lock);
        // The quit waits for the last hoop being programmed.
        if (--m_programming == 0)
            quit = std::exchange(m_whenProgrammed, nullptr);
    }
    m_observer.programmingEnds();
    if (quit)
        quit();
}
