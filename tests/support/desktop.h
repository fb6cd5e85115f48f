// The built program as a person uses it, on a virtual X server: its process,
// its windows, and clicks and keys through xdotool.
#pragma once

#include <QPoint>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <functional>

namespace skiascan::test {

/// Runs xdotool and returns what it printed.
QString xdotool(const QStringList& args, int timeoutMs = 15000);

/// Waits (without an event loop) until `done`, at most `timeoutMs`.
bool waitUntil(const std::function<bool()>& done, int timeoutMs);

/// The first visible window whose title is exactly `name`; empty when none.
QString windowNamed(const QString& name);

/// Copies the built program, the scanner simulator and the test image into a
/// program folder, so that it runs there as installed.
void installProgram(const QString& programFolder);

/// Starts the program of `programFolder` on the X server with `arguments`, the
/// simulator told by `scannerEnvironment` (SCANFILE_... variables).
void startProgram(QProcess& process, const QString& programFolder, const QStringList& arguments,
                  const QStringList& scannerEnvironment = {});

/// The main window on the screen, and clicks at positions of its client area.
class Operator {
public:
    explicit Operator(const QString& window);
    void click(int x, int y) const;
    /// Clicks into a field at its layout position and types.
    void typeInto(int x, int y, const QString& text) const;
    void key(const QString& name) const;

private:
    QString m_window;
    QPoint m_origin;
};

} // namespace skiascan::test
