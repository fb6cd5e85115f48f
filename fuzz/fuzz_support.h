// Scratch files for the fuzz targets: the program reads files, so each input
// is written to one in a folder of this process's own (under /dev/shm when it
// exists, so that no disk is worn).
#pragma once

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>

#include "common/failure.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <unistd.h>

namespace fuzz {

// The scratch folder, removed again when the fuzzer ends normally.
struct ScratchFolder {
    ScratchFolder()
    {
        const QString base = QDir(QStringLiteral("/dev/shm")).exists() ? QStringLiteral("/dev/shm") : QDir::tempPath();
        path = QStringLiteral("%1/skiascan-fuzz-%2").arg(base).arg(::getpid());
        QDir().mkpath(path);
    }
    ~ScratchFolder() { QDir(path).removeRecursively(); }
    QString path;
};

inline QString scratchPath(const QString& name)
{
    static const ScratchFolder folder;
    return folder.path + QLatin1Char('/') + name;
}

inline void writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(bytes);
}

inline QString writeInput(const QString& name, const uint8_t* data, size_t size)
{
    const QString path = scratchPath(name);
    writeFile(path, QByteArray(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size)));
    return path;
}

// Runs `work`: a Failure is the program refusing the input with a description,
// which is fine; any other exception (std::bad_alloc, a DCMTK or Qt throw) would
// end the real program, so it is a finding.
template <typename Work>
void refusalsOnly(Work work)
{
    try {
        work();
    } catch (const skiascan::Failure&) {
    } catch (const std::exception& e) {
        std::fprintf(stderr, "FINDING: an exception other than Failure: %s\n", e.what());
        std::abort();
    } catch (...) {
        std::fprintf(stderr, "FINDING: an exception other than Failure\n");
        std::abort();
    }
}

} // namespace fuzz
