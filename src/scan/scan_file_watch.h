// When a scan file is ready to import. A scanner may still be writing its file
// when it is first seen (some write it after their program has ended), so a
// file is taken only when a later look finds it unchanged.
#pragma once

#include <QDateTime>
#include <QString>

namespace skiascan {

class ScanFileWatch {
public:
    /// Starts watching `path`, forgetting what was seen before.
    void watch(const QString& path);

    /// One look at the file (one timer tick). The first look that finds the file
    /// only notes its size and modification time and returns false; a later look
    /// that finds both unchanged returns true. A file that vanishes, or changes,
    /// starts the noting over.
    bool ready();

    QString path() const { return m_path; }

private:
    QString m_path;
    bool m_seen = false;
    qint64 m_size = -1;
    QDateTime m_modified;
};

} // namespace skiascan
