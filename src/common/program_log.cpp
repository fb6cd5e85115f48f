#include "common/program_log.h"

#include "common/private_files.h"

#include <QDateTime>
#include <QDir>
#include <QFile>

#include <mutex>

namespace skiascan::programlog {

namespace {

std::mutex g_mutex;
QString g_path;

} // namespace

void open(const QString& programFolder)
{
    const std::lock_guard lock(g_mutex);
    // The log names patients: the folder and its files are the user's alone,
    // those an older version made too.
    const QString folder = QDir(programFolder).filePath(QStringLiteral("Logs"));
    makePrivateFolder(folder);
    tightenFolder(folder);
    g_path = QDir(programFolder).filePath(QStringLiteral("Logs/skiascan.log"));
}

QString path()
{
    const std::lock_guard lock(g_mutex);
    return g_path;
}

void event(const QString& text)
{
    try {
        const QByteArray line = (QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz "))
                                 + QString(text).replace(QLatin1Char('\n'), QLatin1Char(' ')).remove(QLatin1Char('\r'))
                                 + QLatin1Char('\n'))
                                    .toUtf8();
        const std::lock_guard lock(g_mutex);
        if (g_path.isEmpty())
            return;
        QFile file(g_path);
        if (file.size() + line.size() > kMaxBytes) {
            const QString previous = g_path + QStringLiteral(".1");
            QFile::remove(previous);
            QFile::rename(g_path, previous);
        }
        if (file.open(QIODevice::Append, kPrivateFile))
            file.write(line);
    } catch (...) {
        // The log is a help, never a reason to stop.
    }
}

} // namespace skiascan::programlog
