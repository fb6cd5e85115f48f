#include "common/failure.h"
#include "worklist/worklist_entries.h"
#include "worklist/worklist_query.h"
#include "support/qt_printers.h"
#include "support/worklist_server.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace skiascan;
using dicom::DataSet;
using dicom::DataSetCollection;

namespace {

// An answer as a worklist server sends it.
DataSet answer(const QString& name, const QString& time = "143005", const QString& bodyPart = "CHEST",
               const QString& birthDate = "19600201")
{
    DataSet a;
    a.addAttribute(0x0010, 0x0010, name);
    a.addAttribute(0x0010, 0x0020, "4711");
    a.addAttribute(0x0010, 0x0040, "F");
    if (!birthDate.isNull())
        a.addAttribute(0x0010, 0x0030, birthDate);
    a.addAttribute(0x0008, 0x0050, "ACC7");
    if (!bodyPart.isNull()) {
        DataSetCollection codes;
        codes.addNewItem().addAttribute(0x0008, 0x0100, bodyPart);
        a.addAttribute(0x0032, 0x1064, codes);
    }
    if (!time.isNull()) {
        DataSetCollection steps;
        steps.addNewItem().addAttribute(0x0040, 0x0003, time);
        a.addAttribute(0x0040, 0x0100, steps);
    }
    return a;
}

WorklistRow rowOf(const DataSet& a)
{
    WorklistRow row;
    fillWorklistRow(a, row, QLocale(QLocale::German, QLocale::Germany));
    return row;
}

} // namespace

TEST(WorklistIdentifier, HoldsEveryKeyTheFourSequencesAndTheStationsKeys)
{
    WorklistStation station;
    station.scheduledModality = "CR";
    station.scheduledAETitle = "SKIA1";
    const DataSet id = worklistIdentifier(station, QDate(2005, 3, 5));
    EXPECT_EQ(dicomDayRange(QDate(2005, 3, 5)), "20050305-20050305");
    EXPECT_EQ(id.text(0x0008, 0x0005), "");
    EXPECT_EQ(id.text(0x0010, 0x21C0), "") << "Pregnancy Status is returned, not matched";
    EXPECT_EQ(id.text(0x0040, 0x3001), "");
    for (auto [group, element] : {std::pair{0x0008, 0x0050}, {0x0008, 0x0090}, {0x0010, 0x0010}, {0x0010, 0x2110},
                                  {0x0020, 0x000D}, {0x0032, 0x1060}, {0x0038, 0x0500}, {0x0040, 0x1004}})
        EXPECT_EQ(id.text(group, element), "") << std::hex << group << "," << element;

    const auto steps = id.sequence(0x0040, 0x0100);
    ASSERT_TRUE(steps);
    ASSERT_EQ(steps->count(), 1);
    const DataSet& step = steps->item(1);
    EXPECT_EQ(step.text(0x0008, 0x0060), "CR");
    EXPECT_EQ(step.text(0x0040, 0x0001), "SKIA1");
    EXPECT_EQ(step.text(0x0040, 0x0002), "20050305-20050305");
    EXPECT_EQ(step.text(0x0040, 0x0003), "000000-235959");
    EXPECT_EQ(step.text(0x0040, 0x0010), "");
    ASSERT_TRUE(step.sequence(0x0040, 0x0008));
    EXPECT_EQ(step.sequence(0x0040, 0x0008)->item(1).text(0x0008, 0x0100), "");
    EXPECT_EQ(id.sequence(0x0008, 0x1110)->item(1).text(0x0008, 0x1155), "");
    EXPECT_EQ(id.sequence(0x0032, 0x1064)->item(1).text(0x0008, 0x0104), "");
}

TEST(WorklistRows, NamesSplitIntoThreeColumnsExactlyAsTheWorklistGaveThem)
{
    WorklistRow row = rowOf(answer("Smith^John^Q"));
    EXPECT_EQ(row[kLastName], "Smith");
    EXPECT_EQ(row[kFirstName], "John");
    EXPECT_EQ(row[kMiddleInitial], "Q");
    row = rowOf(answer("Smith"));
    EXPECT_EQ(row[kLastName], "Smith");
    EXPECT_EQ(row[kFirstName], "");
    row = rowOf(answer("O'Neil^Mary"));
    EXPECT_EQ(row[kLastName], "O'Neil");
    EXPECT_EQ(row[kFirstName], "Mary");
    // Apostrophes stay apostrophes in every name column.
    row = rowOf(answer("O'Neil'l^D'Arcy^O'B", "093000", "D'X"));
    EXPECT_EQ(row[kLastName], "O'Neil'l");
    EXPECT_EQ(row[kFirstName], "D'Arcy");
    EXPECT_EQ(row[kMiddleInitial], "O'B");
    EXPECT_EQ(row[kBodypart], "D'X");
    row = rowOf(answer("Smith^John^Q^Dr^Jr"));
    EXPECT_EQ(row[kMiddleInitial], "Q");
    // Of a name in component groups, the first group with anything in it.
    row = rowOf(answer(QString::fromUtf8("Yamada^Tarou=山田^太郎=やまだ^たろう")));
    EXPECT_EQ(row[kLastName], "Yamada");
    EXPECT_EQ(row[kFirstName], "Tarou");
    row = rowOf(answer(QString::fromUtf8("=山田^太郎")));
    EXPECT_EQ(row[kLastName], QString::fromUtf8("山田"));
    EXPECT_EQ(row[kFirstName], QString::fromUtf8("太郎"));
}

TEST(WorklistRows, CellsComeFromTheirAttributes)
{
    const WorklistRow row = rowOf(answer("Smith^John", "143005", "  CHEST "));
    EXPECT_EQ(row[kTime], "14:30:05");
    EXPECT_EQ(row[kBodypart], "CHEST");
    EXPECT_EQ(row[kBirthdate], "01.02.1960");
    EXPECT_EQ(row[kId], "4711");
    EXPECT_EQ(row[kSex], "F");
    EXPECT_EQ(row[kAccessionNumber], "ACC7");

    EXPECT_EQ(rowOf(answer("A^B", "143005", QString(), QString()))[kBodypart], "");
    EXPECT_EQ(rowOf(answer("A^B", "143005", "X", QString()))[kBirthdate], "");
    EXPECT_EQ(worklistTime("0930"), "09:30:00");
    EXPECT_EQ(worklistTime("093000.123"), "09:30:00");
    EXPECT_EQ(worklistTime("09:30:15"), "09:30:15");
    EXPECT_EQ(worklistTime(""), "");
    EXPECT_EQ(worklistTime("soon"), "");
}

TEST(WorklistRows, AnEntryWithoutAScheduledStepKeepsItsNamesAndFails)
{
    WorklistRow row;
    EXPECT_THROW(fillWorklistRow(answer("Smith^John", QString()), row, QLocale()), Failure);
    EXPECT_EQ(row[kLastName], "Smith");
    EXPECT_EQ(row[kTime], "");
    EXPECT_EQ(row[kId], "");
}

TEST(WorklistLayout, ColumnsFollowTheDialogWidth)
{
    const WorklistLayout layout = worklistLayout(9000, 6000);
    EXPECT_EQ(layout.buttonLeft, 8025);
    EXPECT_EQ(layout.listWidth, 7905);
    EXPECT_EQ(layout.listHeight, 5400);
    EXPECT_EQ(layout.unit, 75);
    EXPECT_EQ(layout.columnWidths, (std::array<int, 9>{750, 1350, 1125, 900, 1125, 750, 525, 975, 1440}));
    // A list 8610 twips wide: 8250 / 100 = 82.5 rounds to the even 82.
    EXPECT_EQ(worklistLayout(8610 + 120 + 855 + 120, 6000).unit, 82);
    EXPECT_EQ(worklistLayout(8710 + 120 + 855 + 120, 6000).unit, 84);
}

TEST(WorklistLog, IsClearedOnTheFirstQueryOfADay)
{
    QTemporaryDir program;
    const QString log = program.filePath("Logs/wlscu.log");
    auto writeLog = [&] {
        QFile f(log);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("old\n");
    };
    // No log yet: the folder is made and the day is not remembered.
    EXPECT_EQ(tidyWorklistLog(program.path(), 0, QDate(2026, 12, 7)), 0);
    EXPECT_TRUE(QDir(program.filePath("Logs")).exists());

    writeLog();
    int day = tidyWorklistLog(program.path(), 0, QDate(2026, 12, 7));
    EXPECT_EQ(day, 7);
    EXPECT_FALSE(QFile::exists(log));

    writeLog();
    day = tidyWorklistLog(program.path(), day, QDate(2026, 12, 7));
    EXPECT_TRUE(QFile::exists(log)) << "a second query on the same day keeps it";
    day = tidyWorklistLog(program.path(), day, QDate(2027, 1, 7));
    EXPECT_TRUE(QFile::exists(log)) << "only the day of the month counts";
    day = tidyWorklistLog(program.path(), day, QDate(2027, 1, 8));
    EXPECT_FALSE(QFile::exists(log));

    writeLog();
    QFile::setPermissions(log, QFile::ReadOwner);
    EXPECT_EQ(tidyWorklistLog(program.path(), day, QDate(2027, 1, 9)), 8) << "a read-only log stays";
    EXPECT_TRUE(QFile::exists(log));
}

// What the order holds that an image cannot carry is left out, value by value.
TEST(ScheduledStudy, MalformedValuesAreLeftOutAndTheRestIsKept)
{
    DataSet answer;
    answer.addAttribute(0x0008, 0x0090, "Doe^Jane");
    answer.addAttribute(0x0020, 0x000D, "1.2.840.01.5"); // a leading zero: no UID
    answer.addAttribute(0x0040, 0x1001, "RP-0123456789ABCDEF"); // longer than 16
    answer.addAttribute(0x0032, 0x1060, "  Knee two views  ");
    DataSetCollection codes;
    DataSet& whole = codes.addNewItem();
    whole.addAttribute(0x0008, 0x0100, "KN2");
    whole.addAttribute(0x0008, 0x0102, "LOCAL");
    whole.addAttribute(0x0008, 0x0104, "Knee");
    codes.addNewItem().addAttribute(0x0008, 0x0100, "NOMEANING");
    answer.addAttribute(0x0032, 0x1064, codes);
    DataSetCollection steps;
    DataSet& step = steps.addNewItem();
    step.addAttribute(0x0040, 0x0009, "S1\\S2"); // two values
    step.addAttribute(0x0040, 0x0007, "Knee");
    answer.addAttribute(0x0040, 0x0100, steps);

    const dicom::ScheduledStudy s = scheduledStudyOf(answer);
    EXPECT_EQ(s.studyUid, "");
    EXPECT_EQ(s.referringPhysician, "Doe^Jane");
    EXPECT_EQ(s.requestedProcedureId, "");
    EXPECT_EQ(s.requestedProcedureDescription, "Knee two views");
    ASSERT_EQ(s.requestedProcedureCodes.size(), 1u);
    EXPECT_EQ(s.requestedProcedureCodes[0].meaning, "Knee");
    EXPECT_EQ(s.stepId, "");
    EXPECT_EQ(s.label(), "Knee two views");
    EXPECT_TRUE(dicom::isValidUid("1.2.840.10008.1.1") && dicom::isValidUid("0.5"));
    EXPECT_FALSE(dicom::isValidUid("1..2") || dicom::isValidUid("1.2.") || dicom::isValidUid("1.2a"));
}

// The demo's worklist, served by wlmscpfs as the demo serves it: every entry
// brings a whole order.
TEST(ScheduledStudy, TheDemosWorklistEntriesEachCarryAWholeOrder)
{
    test::WlmScp server;
    const QDir demo(QStringLiteral(SKIASCAN_SOURCE_DIR "/demo/worklist"));
    const QStringList dumps = demo.entryList({"*.dump"}, QDir::Files, QDir::Name);
    ASSERT_EQ(dumps.size(), 5);
    for (const QString& name : dumps) {
        QFile file(demo.filePath(name));
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        server.addDump(file.readAll()
                           .replace("@TODAY@", QDate::currentDate().toString("yyyyMMdd").toLatin1())
                           .replace("@UIDROOT@", "2.25.4711"));
    }
    WorklistStation station{"127.0.0.1", server.port(), server.aeTitle(), "SKIASCAN", "CR", "SKIASCAN", "", {}, {}, true, {}};
    const DataSetCollection answers = queryWorklist(station, QDate::currentDate());
    ASSERT_EQ(answers.count(), 5);
    for (int i = 1; i <= answers.count(); ++i) {
        const dicom::ScheduledStudy s = scheduledStudyOf(answers.item(i));
        EXPECT_TRUE(s.studyUid.startsWith("2.25.4711.")) << s.studyUid.toStdString();
        EXPECT_FALSE(s.referringPhysician.isEmpty() || s.requestedProcedureId.isEmpty() || s.stepId.isEmpty()
                     || s.stepDescription.isEmpty() || s.requestedProcedureDescription.isEmpty());
        EXPECT_EQ(s.protocolCodes.size(), 1u) << s.label().toStdString();
        EXPECT_EQ(s.referencedStudies.size(), 1u);
    }
}
