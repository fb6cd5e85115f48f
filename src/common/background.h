// Work that must not freeze the window: it runs on a worker thread while the
// caller's thread keeps repainting and running its timers.
#pragma once

#include <functional>

namespace skiascan {

/// Runs `work` on a worker thread and returns when it is done, rethrowing what it
/// threw. Meanwhile the windows repaint and timers run, while the operator's
/// input waits: a slow or silent network peer never leaves a frozen window.
void runWhileRepainting(const std::function<void()>& work);

} // namespace skiascan
