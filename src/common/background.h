// Work that must not hold the window: one shape for every background job. A
// task runs a job on a worker thread of its own and reports on the thread that
// started it, through that thread's event loop; it is joined before it reports
// and before it is destroyed, so no job outlives its owner.
#pragma once

#include <QObject>

#include <atomic>
#include <exception>
#include <functional>
#include <thread>

class QObject;

namespace skiascan {

/// While it lives, the operator's clicks and keys are dropped, not kept for
/// afterwards, but for those meant for `allowed` and its children (a Cancel
/// button, a dialog). Windows still repaint, timers run, windows may be closed.
class InputBlock {
public:
    explicit InputBlock(QObject* allowed = nullptr);
    ~InputBlock();
    InputBlock(const InputBlock&) = delete;
    InputBlock& operator=(const InputBlock&) = delete;

private:
    QObject* m_dropper;
};

/// Asked by a job, from its worker thread, whether it should stop early.
class CancelFlag {
public:
    bool cancelled() const { return m_cancelled.load(); }

private:
    friend class BackgroundTask;
    std::atomic<bool> m_cancelled{false};
};

/// One background job at a time. Not thread-safe: used from the thread that
/// created it (in practice the window's thread).
class BackgroundTask : public QObject {
    Q_OBJECT

public:
    using Job = std::function<void(const CancelFlag&)>;
    /// Told what the job threw, or null when it returned.
    using Done = std::function<void(std::exception_ptr failure)>;

    explicit BackgroundTask(QObject* parent = nullptr);
    /// Cancels a running job and waits for its thread: the job must end soon
    /// once cancelled (its cancel hook makes blocking work return). `done` is
    /// not called then.
    ~BackgroundTask() override;
    BackgroundTask(const BackgroundTask&) = delete;
    BackgroundTask& operator=(const BackgroundTask&) = delete;

    /// Starts `job` on a worker thread. Once it has returned and its thread has
    /// been joined, `done` runs on this object's thread, from its event loop
    /// (never from inside start()). Everything the job wrote is visible to
    /// `done`. `onCancel`, when given, runs on this thread when cancel() is
    /// called, to make blocking work in the job return (shut a connection).
    /// A task runs one job at a time: start() while running() is a programming
    /// error and throws std::logic_error.
    void start(Job job, Done done, std::function<void()> onCancel = {});

    /// Asks the running job to stop: its flag turns and its cancel hook runs.
    /// The job still reports through `done` (typically with a failure of kind
    /// Cancelled).
    void cancel();

    /// True from start() until `done` has run.
    bool running() const { return m_running; }

    /// Cancels a running job and waits for it to end, without reporting.
    void stop();

private:
    // Queued from the worker by name, so that Qt makes and frees the call on
    // its own side rather than in a slot object of ours shared by two threads.
    Q_INVOKABLE void finish(unsigned generation);

    std::thread m_thread;
    unsigned m_generation = 0; // which job a queued report belongs to
    CancelFlag m_flag;
    Done m_done;
    std::function<void()> m_onCancel;
    std::exception_ptr m_failure;
    bool m_running = false;
};

} // namespace skiascan
