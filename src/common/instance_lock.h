// One Skiascan per program folder: two instances would share the outbox, the
// scan journal and the scan file names.
#pragma once

#include <QString>

namespace skiascan {

class InstanceLock {
public:
    /// Takes the lock of `programFolder` (its file "Skiascan.lock"). The lock is
    /// held until this object is destroyed or the process ends, however it ends:
    /// a crash leaves no stale lock behind. Within one process the lock can be
    /// taken again.
    explicit InstanceLock(const QString& programFolder);
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    /// True when another process holds the lock: this one must not go on.
    bool heldElsewhere() const { return m_heldElsewhere; }
    /// Why the lock is not held: another process holds it, or the lock file
    /// cannot be made (a read-only program folder, where nothing can be shared).
    QString failure() const { return m_failure; }

private:
    int m_fd = -1;
    bool m_heldElsewhere = false;
    QString m_failure;
};

} // namespace skiascan
