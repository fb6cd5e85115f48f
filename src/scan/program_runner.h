// Starts the scanner program and waits for it without freezing the window.
#pragma once

#include <QString>
#include <QStringList>

#include <functional>

namespace skiascan {

/// Starts `program` with `arguments` (each one argument as it stands: nothing is
/// split and no shell is involved) and returns its exit code once it has ended.
/// `started`, when given, is told the process id as soon as the program runs.
/// Meanwhile the event loop runs: windows repaint, timers tick, handlers run
/// nested, and no processor is kept busy. Throws Failure (kind Scanner) when the
/// program cannot be started. When the application quits during the wait, the
/// wait ends at once and the program is left to finish on its own (a scanner is
/// never cut off in the middle of a film); -1 is returned then.
int RunAndWait(const QString& program, const QStringList& arguments,
               const std::function<void(qint64 processId)>& started = {});

} // namespace skiascan
