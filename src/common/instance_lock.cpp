#include "common/instance_lock.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

namespace skiascan {

InstanceLock::InstanceLock(const QString& programFolder)
{
    const QString path = QDir(programFolder).filePath(QStringLiteral("Skiascan.lock"));
    m_fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (m_fd < 0) {
        m_failure = QStringLiteral("The lock file %1 cannot be opened: %2")
                        .arg(QDir::toNativeSeparators(path), QString::fromLocal8Bit(std::strerror(errno)));
        return;
    }
    // A record lock belongs to the process: the system drops it when the process
    // ends, even by a crash, and the same process may take it again.
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    m_heldElsewhere = ::fcntl(m_fd, F_SETLK, &lock) != 0;
    if (m_heldElsewhere)
        m_failure = QStringLiteral("Skiascan already runs in %1.").arg(QDir::toNativeSeparators(programFolder));
}

InstanceLock::~InstanceLock()
{
    // Closing the file releases the lock.
    if (m_fd >= 0)
        ::close(m_fd);
}

} // namespace skiascan
