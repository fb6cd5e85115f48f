#include "common/failure.h"
#include "settings/settings_file.h"
#include "support/unprivileged.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "support/qt_printers.h"

#include <gtest/gtest.h>

using namespace skiascan;

namespace {

QByteArray readBytes(const QString& path)
{
    QFile f(path);
    EXPECT_TRUE(f.open(QIODevice::ReadOnly));
    return f.readAll();
}

void writeBytes(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(bytes);
}

QStringList readAllLines(const QString& path, int count)
{
    SettingsReader reader;
    reader.open(path);
    QStringList lines;
    for (int i = 0; i < count; ++i)
        lines << reader.readLine();
    return lines;
}

SettingsLines sampleLines()
{
    return {"/opt/scanner/SCANFILE.EXE", "/R:150", "/data/scans/", "/opt/scanner/acrtest", "SKIASCAN",
            "1500", "3000", "PACS1|10.0.0.5|104", "||", "ARCHIVE|archive.local|11112", "10.0.0.7", "107",
            "WLSERVER", "CR", "SKIA1", " Röntgen 2 "};
}

} // namespace

TEST(SettingsFile, WritesSixteenLinesWithCrLfAndReadsThemBackByteForByte)
{
    QTemporaryDir dir;
    const QString path = settingsFilePath(dir.path());
    EXPECT_TRUE(path.endsWith("/Skiascan.ini"));
    saveSettingsFile(path, sampleLines());

    const QByteArray bytes = readBytes(path);
    EXPECT_TRUE(bytes.startsWith("/opt/scanner/SCANFILE.EXE\r\n/R:150\r\n"));
    EXPECT_TRUE(bytes.endsWith("SKIA1\r\n R\xF6ntgen 2 \r\n")) << bytes.toStdString();
    EXPECT_EQ(bytes.count("\r\n"), 16);

    const QStringList lines = readAllLines(path, kSettingsLineCount);
    SettingsLines again;
    for (const SettingsLineDef& line : settingsTable()) {
        EXPECT_EQ(lines[lineNumber(line.setting) - 1], sampleLines()[line.setting]) << line.name;
        again[line.setting] = lines[lineNumber(line.setting) - 1];
    }

    // Saving what was read gives the same bytes again.
    saveSettingsFile(path, again);
    EXPECT_EQ(readBytes(path), bytes);
}

TEST(SettingsFile, TheDestinationRowsAreGivenAsNodesAndTheirTextsStay)
{
    Settings s;
    s.Remote0 = "||";
    s.Remote1 = "PACS|10.0.0.5| 104";
    s.Remote2 = "AE|";
    const RemoteNodes nodes = s.remoteNodes();
    EXPECT_FALSE(nodes[0].isNode);
    EXPECT_EQ(nodes[1].aeTitle, "PACS");
    EXPECT_EQ(nodes[1].port, 104);
    EXPECT_TRUE(nodes[2].problem.contains("destination 3")) << nodes[2].problem.toStdString();
    EXPECT_EQ(linesOf(s)[Setting::Remote1], "PACS|10.0.0.5| 104");
}

TEST(SettingsFile, EveryWindows1252ByteSurvivesARoundTrip)
{
    QByteArray all;
    for (int b = 0; b < 256; ++b)
        if (b != '\r' && b != '\n')
            all.append(static_cast<char>(b));
    const QString text = fromWindows1252(all);
    EXPECT_EQ(text[0x80 - 2], QChar(0x20AC)); // the euro sign (two bytes skipped before it)
    QByteArray back;
    ASSERT_TRUE(toWindows1252(text, back));
    EXPECT_EQ(back, all);
}

TEST(SettingsFile, RefusesToSaveWhatTheFileCannotHold)
{
    QTemporaryDir dir;
    const QString path = settingsFilePath(dir.path());
    saveSettingsFile(path, sampleLines());
    const QByteArray before = readBytes(path);

    SettingsLines chinese = sampleLines();
    chinese[Setting::ImageFolder] = QString::fromUtf8("/data/扫描/");
    EXPECT_THROW(saveSettingsFile(path, chinese), Failure);
    SettingsLines broken = sampleLines();
    broken[Setting::Parameters] = "a\nb";
    EXPECT_THROW(saveSettingsFile(path, broken), Failure);
    EXPECT_EQ(readBytes(path), before);
}

TEST(SettingsFile, SaveThatCannotBeWrittenIsReported)
{
    QTemporaryDir dir;
    try {
        saveSettingsFile(settingsFilePath(dir.filePath("gone")), sampleLines());
        ADD_FAILURE() << "save into a missing folder reported success";
    } catch (const Failure& e) {
        EXPECT_NE(std::string(e.what()).find("gone/Skiascan.ini"), std::string::npos) << e.what();
    }
}

TEST(SettingsFile, SaveIntoAReadOnlyFolderFailsAndKeepsTheOldFile)
{
    QTemporaryDir dir;
    const QString path = settingsFilePath(dir.path());
    saveSettingsFile(path, sampleLines());
    const QByteArray before = readBytes(path);
    QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::ExeOwner | QFile::ReadOther | QFile::ExeOther);
    const int outcome = test::runUnprivileged([&] {
        SettingsLines changed = sampleLines();
        changed[Setting::ScanApp] = "/elsewhere/SCANFILE.EXE";
        try {
            saveSettingsFile(path, changed);
            return 1;
        } catch (const Failure& e) {
            return std::string(e.what()).find("Skiascan.ini") != std::string::npos ? 0 : 2;
        }
    });
    QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    EXPECT_EQ(outcome, 0) << "1: reported success, 2: description without the file";
    EXPECT_EQ(readBytes(path), before);
}

TEST(SettingsReader, AcceptsCrAndCrLfAndAMissingLastLineEnd)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("s.ini");
    writeBytes(path, "one\rtwo\r\n\r\n four \rlast");
    EXPECT_EQ(readAllLines(path, 5), (QStringList{"one", "two", "", " four ", "last"}));

    writeBytes(path, "unix\nlines\n");
    EXPECT_EQ(readAllLines(path, 2), (QStringList{"unix", "lines"}));
}

TEST(SettingsReader, FailsAtTheEndOfTheFileAndStaysThere)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("s.ini");
    writeBytes(path, "a\r\nb\r\n");
    SettingsReader reader;
    reader.open(path);
    EXPECT_EQ(reader.readLine(), "a");
    EXPECT_EQ(reader.readLine(), "b");
    EXPECT_THROW(reader.readLine(), Failure);
    EXPECT_THROW(reader.readLine(), Failure);

    EXPECT_THROW(reader.open(dir.filePath("missing.ini")), Failure);
}

TEST(SettingsReader, LinesAfterTheSixteenthAreLeftUnread)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("s.ini");
    QByteArray bytes;
    for (int i = 1; i <= 18; ++i)
        bytes += QByteArray::number(i) + "\r\n";
    writeBytes(path, bytes);
    SettingsReader reader;
    reader.open(path);
    for (int i = 1; i <= 16; ++i)
        ASSERT_EQ(reader.readLine(), QString::number(i));
    // Sixteen reads end exactly before line 17: nothing of it was taken.
    EXPECT_EQ(reader.readLine(), "17");
    EXPECT_EQ(readBytes(path), bytes);
}

TEST(WorklistPort, ConvertsDecimalIntegersAndRefusesEverythingElse)
{
    EXPECT_EQ(parseWorklistPort(""), 0);
    EXPECT_EQ(parseWorklistPort("104"), 104);
    EXPECT_EQ(parseWorklistPort(" 11112 "), 11112);
    EXPECT_EQ(parseWorklistPort("-1"), -1);
    EXPECT_EQ(parseWorklistPort("2147483647"), 2147483647);
    for (const char* bad : {"abc", "10 4", "104a", "2147483648", "-2147483649", "1e3", "0x68", " ", "104.5"})
        EXPECT_THROW(parseWorklistPort(bad), Failure) << bad;
}
