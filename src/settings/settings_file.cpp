#include "settings/settings_file.h"

#include "common/failure.h"
#include "common/text.h"

#include <QDir>
#include <QFile>
#include <QSaveFile>

namespace skiascan {

namespace {

// Windows-1252 differs from Latin-1 only in 0x80..0x9F. The five bytes it leaves
// undefined map to the C1 controls of the same value, so every byte round-trips.
constexpr char16_t kHighHalf[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

} // namespace

const std::array<SettingsLineDef, kSettingsLineCount>& settingsTable()
{
    static const std::array<SettingsLineDef, kSettingsLineCount> table = {{
        {Setting::ScanApp, "ScanApp", &Settings::ScanApp, false},
        {Setting::Parameters, "Parameters", &Settings::Parameters, true},
        {Setting::ImageFolder, "ImageFolder", &Settings::ImageFolder, false},
        {Setting::TestApp, "TestApp", &Settings::TestApp, false},
        {Setting::LocalAET, "LocalAET", &Settings::LocalAET, false},
        {Setting::WindowCenter, "WindowCenter", &Settings::WindowCenter, false},
        {Setting::WindowWidth, "WindowWidth", &Settings::WindowWidth, false},
        {Setting::Remote0, "Remote0", &Settings::Remote0, false},
        {Setting::Remote1, "Remote1", &Settings::Remote1, false},
        {Setting::Remote2, "Remote2", &Settings::Remote2, false},
        {Setting::WorklistIP, "WorklistIP", &Settings::WorklistIP, false},
        {Setting::WorklistPort, "WorklistPort", nullptr, false},
        {Setting::WorklistAET, "WorklistAET", &Settings::WorklistAET, false},
        {Setting::ScheduledModality, "ScheduledModality", &Settings::ScheduledModality, false},
        {Setting::ScheduledAET, "ScheduledAET", &Settings::ScheduledAET, false},
        {Setting::ScheduledStation, "ScheduledStation", &Settings::ScheduledStation, false},
    }};
    return table;
}

int lineNumber(Setting setting)
{
    return static_cast<int>(setting) + 1;
}

bool settingNamed(const QString& name, Setting& setting)
{
    for (const SettingsLineDef& line : settingsTable()) {
        if (name == QLatin1String(line.name)) {
            setting = line.setting;
            return true;
        }
    }
    return false;
}

SettingsLines::SettingsLines(std::initializer_list<QString> inFileOrder)
{
    std::size_t i = 0;
    for (const QString& text : inFileOrder)
        if (i < m_lines.size())
            m_lines[i++] = text;
}

RemoteNodes Settings::remoteNodes() const
{
    return parseRemoteNodes({Remote0, Remote1, Remote2});
}

SettingsLines linesOf(const Settings& settings)
{
    SettingsLines lines;
    for (const SettingsLineDef& line : settingsTable())
        lines[line.setting] = line.text ? settings.*line.text : QString::number(settings.WorklistPort);
    return lines;
}

QString settingsFilePath(const QString& programFolder)
{
    return QDir(programFolder).filePath(QStringLiteral("Skiascan.ini"));
}

QString fromWindows1252(const QByteArray& bytes)
{
    QString text;
    text.reserve(bytes.size());
    for (char ch : bytes) {
        const auto b = static_cast<unsigned char>(ch);
        text.append(b >= 0x80 && b < 0xA0 ? QChar(kHighHalf[b - 0x80]) : QChar(b));
    }
    return text;
}

bool toWindows1252(const QString& text, QByteArray& out, QChar* bad)
{
    out.clear();
    out.reserve(text.size());
    for (QChar c : text) {
        const char16_t u = c.unicode();
        if (u < 0x80 || (u >= 0xA0 && u <= 0xFF)) {
            out.append(static_cast<char>(u));
            continue;
        }
        int found = -1;
        for (int i = 0; i < 32; ++i) {
            if (kHighHalf[i] == u) {
                found = i;
                break;
            }
        }
        if (found < 0) {
            if (bad)
                *bad = c;
            return false;
        }
        out.append(static_cast<char>(0x80 + found));
    }
    return true;
}

QByteArray encodeSettingsFile(const SettingsLines& lines)
{
    QByteArray file;
    for (const SettingsLineDef& line : settingsTable()) {
        const QString& value = lines[line.setting];
        if (value.contains(QLatin1Char('\r')) || value.contains(QLatin1Char('\n')))
            throw Failure(QStringLiteral("Line %1 of the settings (%2) would hold a line break.")
                              .arg(lineNumber(line.setting))
                              .arg(QLatin1String(line.name)),
                          Failure::Kind::Settings);
        QByteArray bytes;
        QChar bad;
        if (!toWindows1252(value, bytes, &bad))
            throw Failure(QStringLiteral("The value \"%1\" holds the character \"%2\", which the settings "
                                         "file (Windows-1252) cannot store.")
                              .arg(value, QString(bad)),
                          Failure::Kind::Settings);
        file += bytes;
        file += "\r\n";
    }
    return file;
}

void saveSettingsFile(const QString& path, const SettingsLines& lines)
{
    const QByteArray bytes = encodeSettingsFile(lines);
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        throw Failure(QStringLiteral("Cannot write the settings file %1: %2").arg(QDir::toNativeSeparators(path), file.errorString()),
                      Failure::Kind::File);
    if (file.write(bytes) != bytes.size() || !file.commit())
        throw Failure(QStringLiteral("Cannot write the settings file %1: %2").arg(QDir::toNativeSeparators(path), file.errorString()),
                      Failure::Kind::File);
}

qint32 parseWorklistPort(const QString& text)
{
    if (text.isEmpty())
        return 0;
    const QString number = trimSpaces(text);
    bool digitsOnly = !number.isEmpty();
    for (qsizetype i = 0; i < number.size(); ++i) {
        const QChar c = number[i];
        if (!(c >= QLatin1Char('0') && c <= QLatin1Char('9')) && !(i == 0 && (c == QLatin1Char('-') || c == QLatin1Char('+'))))
            digitsOnly = false;
    }
    bool ok = false;
    const qint32 value = digitsOnly ? number.toInt(&ok, 10) : 0;
    if (!ok)
        throw Failure(QStringLiteral("The worklist port \"%1\" in line %2 of the settings file is not a number "
                                     "from -2147483648 to 2147483647.")
                          .arg(text)
                          .arg(lineNumber(Setting::WorklistPort)),
                      Failure::Kind::Settings);
    return value;
}

void SettingsReader::open(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw Failure(QStringLiteral("Cannot open the settings file %1: %2").arg(QDir::toNativeSeparators(path), file.errorString()),
                      Failure::Kind::File);
    m_path = path;
    m_bytes = file.readAll();
    m_pos = 0;
    m_linesRead = 0;
}

QString SettingsReader::readLine()
{
    if (m_pos >= m_bytes.size())
        throw Failure(QStringLiteral("The settings file %1 ends after line %2; it must hold %3 lines.")
                          .arg(QDir::toNativeSeparators(m_path))
                          .arg(m_linesRead)
                          .arg(kSettingsLineCount),
                      Failure::Kind::Settings);
    qsizetype end = m_pos;
    while (end < m_bytes.size() && m_bytes[end] != '\r' && m_bytes[end] != '\n')
        ++end;
    const QString line = fromWindows1252(m_bytes.mid(m_pos, end - m_pos));
    if (end < m_bytes.size() && m_bytes[end] == '\r')
        ++end;
    if (end < m_bytes.size() && m_bytes[end] == '\n')
        ++end;
    m_pos = end;
    ++m_linesRead;
    return line;
}

} // namespace skiascan
