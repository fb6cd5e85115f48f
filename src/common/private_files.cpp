#include "common/private_files.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

namespace skiascan {

namespace {

constexpr QFileDevice::Permissions kPrivateFolder =
    QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner;

} // namespace

bool makePrivateFolder(const QString& path)
{
    const QString target = QDir::cleanPath(QFileInfo(path).absoluteFilePath());
    // The folders missing on the way are made one by one, so that none is
    // readable by others even for a moment after it was made.
    QStringList missing;
    for (QString folder = target; !QFileInfo::exists(folder); folder = QFileInfo(folder).path())
        missing.prepend(folder);
    for (const QString& folder : missing)
        if (!QDir().mkdir(folder, kPrivateFolder) && !QFileInfo(folder).isDir())
            return false;
    return QFileInfo(target).isDir() && QFile::setPermissions(target, kPrivateFolder);
}

bool makePrivateFile(const QString& path)
{
    return QFile::setPermissions(path, kPrivateFile);
}

void tightenFolder(const QString& path)
{
    if (!QFileInfo(path).isDir())
        return;
    QFile::setPermissions(path, kPrivateFolder);
    QDirIterator it(path, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QFileInfo entry(it.next());
        if (entry.isSymLink())
            continue; // not ours to change
        QFile::setPermissions(entry.filePath(), entry.isDir() ? kPrivateFolder : kPrivateFile);
    }
}

} // namespace skiascan
