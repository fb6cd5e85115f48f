// File-system faults for the tests. As root (as in CI) they are real mounts: a
// read-only bind mount, a tiny tmpfs. Otherwise the read-only folder falls back
// to permissions and the small disk is not available.
#pragma once

#include <QString>

namespace skiascan::test {

/// Makes `path` read-only until destroyed.
class ReadOnlyFolder {
public:
    explicit ReadOnlyFolder(const QString& path);
    ~ReadOnlyFolder();
    ReadOnlyFolder(const ReadOnlyFolder&) = delete;
    ReadOnlyFolder& operator=(const ReadOnlyFolder&) = delete;

private:
    QString m_path;
    bool m_mounted = false;
};

/// Mounts a file system of `kilobytes` at `path` (which must exist) until
/// destroyed. mounted() is false where mounting is not allowed.
class SmallDisk {
public:
    SmallDisk(const QString& path, int kilobytes);
    ~SmallDisk();
    SmallDisk(const SmallDisk&) = delete;
    SmallDisk& operator=(const SmallDisk&) = delete;
    bool mounted() const { return m_mounted; }

private:
    QString m_path;
    bool m_mounted = false;
};

} // namespace skiascan::test
