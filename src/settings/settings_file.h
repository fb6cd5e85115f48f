// The settings file "Skiascan.ini": sixteen values, one per line, in a fixed order,
// in the Windows-1252 code page so that files written by the Windows program keep
// working. No window code lives here.
#pragma once

#include <QByteArray>
#include <QString>

#include <array>
#include <stdexcept>
#include <string>

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
};

/// The sixteen lines of the file, in file order: ScanApp, Parameters, ImageFolder,
/// TestApp, LocalAET, WindowCenter, WindowWidth, Remote0, Remote1, Remote2,
/// WorklistIP, WorklistPort, WorklistAET, ScheduledModality, ScheduledAET,
/// ScheduledStation.
using SettingsLines = std::array<QString, 16>;

/// A settings file that cannot be read, parsed or written. what() is a description
/// for the operator, in UTF-8.
class SettingsError : public std::runtime_error {
public:
    explicit SettingsError(const QString& description)
        : std::runtime_error(description.toStdString()) {}
};

/// "Skiascan.ini" in the given folder.
QString settingsFilePath(const QString& programFolder);

/// Decodes Windows-1252 bytes. Never fails: the five bytes the code page leaves
/// undefined become the control characters of the same number, as Windows does.
QString fromWindows1252(const QByteArray& bytes);

/// Encodes to Windows-1252. Returns false (and leaves `out` unspecified) when a
/// character has no place in the code page; `bad` then holds the first such one.
bool toWindows1252(const QString& text, QByteArray& out, QChar* bad = nullptr);

/// The file's bytes for these lines: each value followed by CR LF, nothing trimmed.
/// Throws SettingsError when a value holds a line end or a character that
/// Windows-1252 cannot hold.
QByteArray encodeSettingsFile(const SettingsLines& lines);

/// Writes the file through a temporary file renamed over the old one, so that a
/// failed write leaves the old file as it was. Throws SettingsError on failure.
void saveSettingsFile(const QString& path, const SettingsLines& lines);

/// Converts the text of line 12 into the worklist port: empty gives 0; a decimal
/// integer (spaces around it allowed) within the signed 32-bit range gives its
/// value; anything else throws SettingsError.
qint32 parseWorklistPort(const QString& text);

/// Reads the file line by line. A line ends at CR, CR LF or LF; the last line end
/// is optional. The whole file is read when it is opened, so a read that fails
/// can be tried again from the same place.
class SettingsReader {
public:
    /// Reads the file. Throws SettingsError when it cannot be opened.
    void open(const QString& path);

    /// The next line, decoded. Throws SettingsError when the file has no more
    /// lines; the position stays where it was.
    QString readLine();

private:
    QString m_path;
    QByteArray m_bytes;
    qsizetype m_pos = 0;
    int m_linesRead = 0;
};

} // namespace skiascan
