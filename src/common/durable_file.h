// Files that survive a crash or a power cut: every change is one rename of a
// file flushed to the disk, so a reader finds either the old or the new file.
#pragma once

#include <QByteArray>
#include <QString>

namespace skiascan {

/// Flushes a file or a folder to the disk. Returns false when it could not be
/// opened or flushed.
bool syncToDisk(const QString& path);

/// Renames `from` to `to` in one step, replacing `to`, and flushes the folder
/// of `to`. Returns false when the rename failed (nothing changed then).
bool renameDurably(const QString& from, const QString& to);

/// Writes `bytes` as the whole content of `path`: a temporary file beside it
/// (".writing-" and the name), flushed, renamed over `path`, folder flushed.
/// The file is readable by the program's user only (0600): it is one of the
/// program's own records.
/// Throws Failure (kind File) with the reason; nothing is left behind then.
void writeFileDurably(const QString& path, const QByteArray& bytes);

/// The prefix of the temporary files writeFileDurably() and the outbox use; a
/// file with it found at start-up is a write that a crash cut short.
inline constexpr char kTemporaryPrefix[] = ".writing-";

} // namespace skiascan
