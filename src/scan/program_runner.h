// Starts the scanner program and waits for it without freezing the window.
#pragma once

#include <QString>

namespace skiascan {

/// Starts `commandLine` (split into program and arguments as a shell would split
/// words, but never given to a shell) and returns its exit code once it has
/// ended. Meanwhile the event loop runs: windows repaint, timers tick, handlers
/// run nested, and no processor is kept busy. `windowStyle` 0 means hidden,
/// which is all a process without windows can be here. Throws Failure (kind
/// Scanner) when the program cannot be started. When the application quits during the wait, the
/// wait ends at once and the program is left to finish on its own (a scanner is
/// never cut off in the middle of a film); -1 is returned then.
int RunAndWait(const QString& commandLine, int windowStyle);

} // namespace skiascan
