#include "support/mounts.h"

#include <QFile>

#include <gtest/gtest.h>

#include <sys/mount.h>
#include <unistd.h>

namespace skiascan::test {

ReadOnlyFolder::ReadOnlyFolder(const QString& path)
    : m_path(path)
{
    const QByteArray p = QFile::encodeName(path);
    if (geteuid() == 0 && ::mount(p.constData(), p.constData(), nullptr, MS_BIND, nullptr) == 0) {
        m_mounted = ::mount(nullptr, p.constData(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) == 0;
        if (!m_mounted)
            ::umount2(p.constData(), MNT_DETACH);
    }
    if (!m_mounted)
        QFile::setPermissions(path, QFile::ReadOwner | QFile::ExeOwner | QFile::ReadOther | QFile::ExeOther);
    EXPECT_TRUE(m_mounted || geteuid() != 0) << "a read-only bind mount failed although running as root";
}

ReadOnlyFolder::~ReadOnlyFolder()
{
    if (m_mounted)
        ::umount2(QFile::encodeName(m_path).constData(), MNT_DETACH);
    else
        QFile::setPermissions(m_path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

SmallDisk::SmallDisk(const QString& path, int kilobytes)
    : m_path(path)
{
    const QByteArray options = "size=" + QByteArray::number(kilobytes) + "k";
    m_mounted = geteuid() == 0
        && ::mount("tmpfs", QFile::encodeName(path).constData(), "tmpfs", 0, options.constData()) == 0;
}

SmallDisk::~SmallDisk()
{
    if (m_mounted)
        ::umount2(QFile::encodeName(m_path).constData(), MNT_DETACH);
}

} // namespace skiascan::test
