// Work that must not freeze the window: it runs on a worker thread while the
// caller's thread keeps repainting and running its timers.
#pragma once

#include <functional>

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

/// Runs `work` on a worker thread and returns when it is done, rethrowing what it
/// threw. Meanwhile the windows repaint, timers run and windows may be closed,
/// but the operator's clicks and keys are dropped, not kept for afterwards: what
/// was clicked while the window was busy must not happen later out of context.
/// Input for `allowed` and its children (a Cancel button) still reaches them.
void runWhileRepainting(const std::function<void()>& work, QObject* allowed = nullptr);

} // namespace skiascan
