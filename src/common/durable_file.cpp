#include "common/durable_file.h"

#include "common/failure.h"
#include "common/private_files.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

namespace skiascan {

bool syncToDisk(const QString& path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

bool renameDurably(const QString& from, const QString& to)
{
    if (std::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) != 0)
        return false;
    syncToDisk(QFileInfo(to).absolutePath());
    return true;
}

void writeFileDurably(const QString& path, const QByteArray& bytes)
{
    const QFileInfo target(path);
    const QString temporary = target.dir().filePath(QLatin1String(kTemporaryPrefix) + target.fileName());
    auto fail = [&](const QString& reason) {
        QFile::remove(temporary);
        throw Failure(QStringLiteral("Cannot write %1: %2").arg(QDir::toNativeSeparators(path), reason),
                      Failure::Kind::File);
    };
    QFile file(temporary);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate, kPrivateFile) || !file.setPermissions(kPrivateFile))
        fail(file.errorString());
    if (file.write(bytes) != bytes.size() || !file.flush())
        fail(file.errorString());
    if (::fsync(file.handle()) != 0)
        fail(QString::fromLocal8Bit(std::strerror(errno)));
    file.close();
    if (!renameDurably(temporary, path))
        fail(QString::fromLocal8Bit(std::strerror(errno)));
}

} // namespace skiascan
