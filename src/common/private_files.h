// The program's own folders (Outbox, Journal, Logs) hold patient data: they and
// the files in them are readable by the program's user only. Folders and files
// the operator names (the image folder, the settings files) keep their rights.
#pragma once

#include <QFileDevice>
#include <QString>

namespace skiascan {

/// The rights of a file in one of the program's folders: 0600.
inline constexpr QFileDevice::Permissions kPrivateFile = QFileDevice::ReadOwner | QFileDevice::WriteOwner;

/// Makes `path` and the folders missing on the way to it, each readable by the
/// program's user only (0700); a folder that is already there is made so too.
/// Returns false when it cannot be made.
bool makePrivateFolder(const QString& path);

/// Makes the file at `path` readable by the program's user only (0600).
/// Returns false when its rights cannot be changed.
bool makePrivateFile(const QString& path);

/// Tightens a folder an older version made with default rights: it and every
/// folder in it 0700, every file in them 0600. A folder that is not there is
/// left so.
void tightenFolder(const QString& path);

} // namespace skiascan
