// The settings file "Skiascan.ini": sixteen values, one per line, in a fixed
// order, in the Windows-1252 code page with CR LF line ends. No window code
// lives here.
//
// The one table of the sixteen lines is settingsTable(): the codec, the load
// steps of the main window, the preferences dialog and the tests all go by it.
#pragma once

#include "common/remote_node.h"

#include <QByteArray>
#include <QString>

#include <array>
#include <initializer_list>

namespace skiascan {

/// The sixteen settings as the main window holds them. The member names are the
/// ones the rest of the program (and the operator's documentation) uses.
struct Settings {
    QString ScanApp;
    QString Parameters;
    QString ImageFolder;
    QString TestApp;
    QString LocalAET;
    QString WindowCenter = QStringLiteral("1500");
    QString WindowWidth = QStringLiteral("3000");
    QString Remote0;
    QString Remote1;
    QString Remote2;
    QString WorklistIP;
    qint32 WorklistPort = 0;
    QString WorklistAET;
    QString ScheduledAET;
    QString ScheduledStation;
    QString ScheduledModality;

    /// The destination rows Remote0..Remote2, parsed: the one way the rest of
    /// the program reads them. The texts above stay as the file has them.
    RemoteNodes remoteNodes() const;
};

/// The settings in the order of the file's lines (line 1 first).
enum class Setting {
    ScanApp,
    Parameters,
    ImageFolder,
    TestApp,
    LocalAET,
    WindowCenter,
    WindowWidth,
    Remote0,
    Remote1,
    Remote2,
    WorklistIP,
    WorklistPort,
    WorklistAET,
    ScheduledModality,
    ScheduledAET,
    ScheduledStation,
};
inline constexpr int kSettingsLineCount = 16;

/// One line of the file: which setting it holds and where the main window keeps
/// it. `text` is null for WorklistPort, the one number among them.
struct SettingsLineDef {
    Setting setting;
    const char* name;
    QString Settings::*text;
    bool trimmedOnSave; // written without the blanks at its ends (Parameters)
};

/// The sixteen lines, in file order.
const std::array<SettingsLineDef, kSettingsLineCount>& settingsTable();

/// The line number (1 to 16) of a setting.
int lineNumber(Setting setting);

/// The setting a name ("ScanApp", ...) stands for; false when it is no name of
/// the table.
bool settingNamed(const QString& name, Setting& setting);

/// The sixteen texts of the file, indexed by setting.
class SettingsLines {
public:
    SettingsLines() = default;
    /// The texts in file order; missing ones stay empty.
    SettingsLines(std::initializer_list<QString> inFileOrder);

    QString& operator[](Setting setting) { return m_lines[static_cast<std::size_t>(setting)]; }
    const QString& operator[](Setting setting) const { return m_lines[static_cast<std::size_t>(setting)]; }
    auto begin() const { return m_lines.begin(); }
    auto end() const { return m_lines.end(); }

private:
    std::array<QString, kSettingsLineCount> m_lines;
};

/// The texts that hold these settings (the port as its decimal text).
SettingsLines linesOf(const Settings& settings);

/// "Skiascan.ini" in the given folder.
QString settingsFilePath(const QString& programFolder);

/// Decodes Windows-1252 bytes. Never fails: the five bytes the code page leaves
/// undefined become the control characters of the same number, so that every
/// byte reads back as it was.
QString fromWindows1252(const QByteArray& bytes);

/// Encodes to Windows-1252. Returns false (and leaves `out` unspecified) when a
/// character has no place in the code page; `bad` then holds the first such one.
bool toWindows1252(const QString& text, QByteArray& out, QChar* bad = nullptr);

/// The file's bytes for these lines: each value followed by CR LF, nothing
/// trimmed. Throws Failure (kind Settings) when a value holds a line end or a
/// character that Windows-1252 cannot hold.
QByteArray encodeSettingsFile(const SettingsLines& lines);

/// Writes the file through a temporary file renamed over the old one, so that a
/// failed write leaves the old file as it was. Throws Failure (kind File).
void saveSettingsFile(const QString& path, const SettingsLines& lines);

/// Converts the text of line 12 into the worklist port: empty gives 0; a decimal
/// integer (spaces around it allowed) within the signed 32-bit range gives its
/// value; anything else throws Failure (kind Settings).
qint32 parseWorklistPort(const QString& text);

/// Reads the file line by line. A line ends at CR, CR LF or LF; the last line end
/// is optional. The whole file is read when it is opened, so a read that fails
/// can be tried again from the same place.
class SettingsReader {
public:
    /// Reads the file. Throws Failure (kind File) when it cannot be opened.
    void open(const QString& path);

    /// The next line, decoded. Throws Failure (kind Settings) when the file has no
    /// more lines; the position stays where it was.
    QString readLine();

private:
    QString m_path;
    QByteArray m_bytes;
    qsizetype m_pos = 0;
    int m_linesRead = 0;
};

} // namespace skiascan
