#include "scan/scan_files.h"

#include "common/failure.h"
#include "scan/scan_commands.h"

#include <QDateTime>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QTimer>

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

QString ScanFileNamer::next(const QString& imageFolder)
{
    for (int attempt = 0; attempt < 5; ++attempt) {
        const QDateTime now = QDateTime::currentDateTime();
        const QString name = scanFileName(imageFolder, now);
        if (name != m_last && !QFileInfo::exists(name)) {
            m_last = name;
            return name;
        }
        QEventLoop wait;
        QTimer::singleShot(1001 - now.time().msec(), &wait, &QEventLoop::quit);
        wait.exec(QEventLoop::ExcludeUserInputEvents);
    }
    throw Failure(QStringLiteral("No free file name for the scan in %1.").arg(imageFolder), Failure::Kind::Scanner);
}

} // namespace skiascan
