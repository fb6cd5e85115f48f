// Runs a piece of a test without root's rights, so that file permissions count
// even when the suite runs as root (as it does in CI).
#pragma once

#include <functional>

namespace skiascan::test {

/// Runs `body` in a child process as user "nobody" when the test runs as root,
/// otherwise in this process. Returns what `body` returned, or -1 when the child
/// could not be started or did not end normally. The child shares nothing with
/// the test after the fork: report results through the return value or files.
int runUnprivileged(const std::function<int()>& body);

} // namespace skiascan::test
