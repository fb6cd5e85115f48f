// A throw-away program folder with a settings file, for tests of the windows.
#pragma once

#include "app/main_window.h"
#include "settings/settings_file.h"
#include "support/conditions.h"
#include "support/modal.h"

#include <QTemporaryDir>

#include <functional>
#include <memory>

namespace skiascan {
class OutboxDialog;
}

namespace skiascan::test {

class ProgramFolder {
public:
    ProgramFolder();

    QString path() const { return m_dir.path(); }
    QString filePath(const QString& name) const { return m_dir.filePath(name); }
    QString settingsPath() const { return settingsFilePath(path()); }

    /// The lines of a usable configuration: local AE title SKIASCAN, no remote
    /// nodes, everything else as a new installation has it.
    static SettingsLines defaultLines();
    /// The same, asking the worklist server `aeTitle` at 127.0.0.1:`port` for
    /// the station CR, SKIA1, ROOM1 (the test worklist entries' station).
    static SettingsLines worklistLines(int port, const QString& aeTitle);

    /// Writes the settings file from these lines.
    void writeSettings(const SettingsLines& lines) const;
    /// Writes the settings file as raw bytes.
    void writeSettingsBytes(const QByteArray& bytes) const;
    QByteArray settingsBytes() const;

private:
    QTemporaryDir m_dir;
};

/// Writes these settings into the folder and starts the main window there for
/// the patient Smith^John (4711, born 01.02.1960), study date 07.12.2026. The
/// window's associations wait as `timeouts` say, its worklist queries are held
/// to `limits`. Returns once the start-up (recovery and the first round) is done.
std::unique_ptr<fSkiascan> startWindow(const ProgramFolder& folder, const SettingsLines& lines,
                                       const dicom::NetworkTimeouts& timeouts = kShortTimeouts,
                                       const dicom::QueryLimits& limits = {});

/// Runs the event loop until the window's session is idle (nothing scanned,
/// imported or sent) or the window has closed; false after `timeoutMs`.
bool sessionIdle(fSkiascan& w, int timeoutMs = 20000);

/// Queues `inside` for the outbox window, then what `after` queues for the
/// windows it opens, clicks the outbox line and waits until the window has
/// closed (it does not hold the main window's flow).
void inOutboxWindow(ModalDriver& modals, fSkiascan& w, const std::function<void(OutboxDialog*)>& inside,
                    const std::function<void()>& after = {});

} // namespace skiascan::test
