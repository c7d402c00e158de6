#pragma once

#include "update/parallelstation.h"
#include "update/updaterun.h"
#include "update/updatestation.h"

#include <QObject>
#include <QThread>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>

// Carries update runs for the window and the terminal alike: the window's on
// a worker thread of its own, the terminal's on the calling thread; each with
// the computer kept awake, and with one rule for a request to quit: obeyed at
// once, except while the hoop is being programmed.
class UpdateRunner : public QObject, private RunObserver
{
    Q_OBJECT

public:
    // `observer` gets what the runs report; it must outlive the runner.
    UpdateRunner(RunSettings settings, HoopSetup hoop, RunObserver &observer,
                 QObject *parent = nullptr);
    // Waits for a run on the worker to end.
    ~UpdateRunner() override;

    // The window's run, on a worker thread at the lowest priority; one per
    // runner, so false when one was started before.
    bool start(UpdateRequest request);
    // The terminal's run, on this thread.
    UpdateRunOutcome run(const UpdateRequest &request);
    // The terminal's station: the image once, then hoop after hoop (see
    // runStation). The image's outcome, with the station's tally in `tally`.
    UpdateRunOutcome runStation(const UpdateRequest &request,
                                const std::function<bool(const StationTally &)> &afterEachHoop,
                                StationTally &tally);
    // The same with many hoops at once (see runParallelStation).
    UpdateRunOutcome runParallelStation(const UpdateRequest &request,
                                        const std::function<bool(const StationTally &)> &keepGoing,
                                        const std::function<void(const HoopResult &)> &hoopDone,
                                        StationTally &tally);

    // Once start has been called: a launch makes one run at most.
    bool hasStarted() const { return m_worker != nullptr; }
    // From start until the worker has finished.
    bool isActive() const;
    // Blocks until the worker has finished, at most `milliseconds`.
    bool wait(int milliseconds);
    // Set when a run begins, cleared when it ends, unless it halted.
    bool isRunning() const { return m_running.load(); }
    // How the last run ended; Aborted before any has.
    UpdateRunOutcome outcome() const { return m_outcome.load(); }

    // True while a hoop is being programmed.
    bool isProgramming() const;
    // The one rule for quitting, from any thread. Outside programming
    // `quitNow` is called at once, with the state held so that programming
    // can't begin while the program ends; it should not return. While
    // programming the request is kept instead: the run goes on, and
    // `whenProgrammed` (if any) is called on the run's thread once the hoop
    // is done. DeferredBefore: a request had been kept already.
    enum class Quit { Now, Deferred, DeferredBefore };
    Quit requestQuit(const std::function<void()> &quitNow,
                     const std::function<void()> &whenProgrammed = {});
    // As requestQuit outside programming; false, keeping nothing, during it.
    bool quitUnlessProgramming(const std::function<void()> &quitNow);
    // Whether a request to quit was kept for the end of programming.
    bool quitRequested() const;

signals:
    // The window's run has ended; emitted on the worker thread.
    void finished(UpdateRunOutcome outcome);

private:
    void updateUILog(const QString &text) override;
    void programmingBegins() override;
    void programmingEnds() override;
    UpdateRunOutcome ended(UpdateRunOutcome outcome);
    // A station: the image once, then `hoops` with it.
    UpdateRunOutcome withImage(const UpdateRequest &request,
                               const std::function<void(const PreparedImage &)> &hoops);

    const RunSettings m_settings;
    const HoopSetup m_hoop;
    RunObserver &m_observer;
    std::unique_ptr<QThread> m_worker;
    std::atomic<bool> m_running{false};
    std::atomic<UpdateRunOutcome> m_outcome{UpdateRunOutcome::Aborted};

    mutable std::mutex m_lock; // guards what follows, shared with whoever asks to quit
    int m_programming = 0;     // hoops being programmed now; a station has several
    bool m_quitRequested = false;
    std::function<void()> m_whenProgrammed;
};
