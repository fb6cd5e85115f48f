#include "scan/scan_files.h"

#include "common/failure.h"
#include "scan/scan_commands.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace skiascan {

void checkImageFolder(const QString& imageFolder)
{
    const QFileInfo folder(imageFolder);
    if (!folder.isDir())
        throw Failure(QStringLiteral("The scanned image folder %1 does not exist.").arg(imageFolder), Failure::Kind::Scanner);
    if (!folder.isWritable())
        throw Failure(QStringLiteral("The scanned image folder %1 is not writable.").arg(imageFolder), Failure::Kind::Scanner);
}

void copyTestImage(const QString& programFolder, const QString& target)
{
    const QString source = QDir(programFolder).filePath(QStringLiteral("Test.tif"));
    if (!QFileInfo::exists(source))
        throw Failure(QStringLiteral("File not found: %1").arg(QDir::toNativeSeparators(source)), Failure::Kind::File);
    QFile file(source);
    if (!file.copy(target))
        throw Failure(QStringLiteral("The test image cannot be copied to %1: %2")
                          .arg(QDir::toNativeSeparators(target), file.errorString()),
                      Failure::Kind::File);
}

QString ScanFileNamer::next(const QString& imageFolder, const QDateTime& now)
{
    const QString name = scanFileName(imageFolder, now);
    if (name == m_last || QFileInfo::exists(name))
        return {};
    m_last = name;
    return name;
}

} // namespace skiascan
