// The program log: Logs/skiascan.log in the program folder, one line per event
// (start, settings loaded, scans, imports, sends, outbox changes, rounds), each
// with its time. It is kept to a bounded size: a full file becomes
// skiascan.log.1 and a new one begins. Writing it never stops the work: a log
// that cannot be written is skipped.
#pragma once

#include <QString>

namespace skiascan::programlog {

/// Logs from now on into `programFolder`/Logs/skiascan.log (the folder is made
/// when missing). Before the first call, events go nowhere.
void open(const QString& programFolder);

/// Appends one event. Safe to call from any thread; never throws.
void event(const QString& text);

/// The file the events go to; empty before open().
QString path();

/// The size at which the file is started anew, in bytes.
inline constexpr qint64 kMaxBytes = 2 * 1024 * 1024;

} // namespace skiascan::programlog
