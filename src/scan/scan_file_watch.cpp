#include "scan/scan_file_watch.h"

#include <QFileInfo>

namespace skiascan {

void ScanFileWatch::watch(const QString& path)
{
    m_path = path;
    m_seen = false;
    m_size = -1;
    m_modified = {};
}

bool ScanFileWatch::ready()
{
    const QFileInfo file(m_path);
    if (!file.exists()) {
        m_seen = false;
        return false;
    }
    if (m_seen && file.size() == m_size && file.lastModified() == m_modified)
        return true;
    m_seen = true;
    m_size = file.size();
    m_modified = file.lastModified();
    return false;
}

} // namespace skiascan
