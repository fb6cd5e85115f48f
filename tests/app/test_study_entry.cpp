#include "app/study_entry.h"

#include "support/qt_printers.h"

#include <gtest/gtest.h>

using namespace skiascan;

TEST(CommandLine, SplitsFieldsAtBarsAndTheNameAtCarets)
{
    const CommandLineFields all = parseCommandLine("Smith^John^Q|4711|01.02.1960");
    EXPECT_EQ(all.lastName, "Smith");
    EXPECT_EQ(all.firstName, "John");
    EXPECT_EQ(all.middleName, "Q");
    EXPECT_EQ(all.patientId, "4711");
    EXPECT_EQ(all.birthDate, "01.02.1960");

    const CommandLineFields nameOnly = parseCommandLine("Smith");
    EXPECT_EQ(nameOnly.lastName, "Smith");
    EXPECT_FALSE(nameOnly.firstName || nameOnly.middleName || nameOnly.patientId || nameOnly.birthDate);

    const CommandLineFields none = parseCommandLine("");
    EXPECT_FALSE(none.lastName || none.patientId || none.birthDate);
}

TEST(CommandLine, EmptyNameFieldSetsNoNameButTheOtherFields)
{
    const CommandLineFields f = parseCommandLine("|4711|1960-02-01");
    EXPECT_FALSE(f.lastName || f.firstName || f.middleName);
    EXPECT_EQ(f.patientId, "4711");
    EXPECT_EQ(f.birthDate, "1960-02-01");

    const CommandLineFields idOnly = parseCommandLine("|4711");
    EXPECT_EQ(idOnly.patientId, "4711");
    EXPECT_FALSE(idOnly.birthDate);
}

TEST(CommandLine, ExtraComponentsAndFieldsAreIgnoredAndNothingIsTrimmed)
{
    const CommandLineFields f = parseCommandLine("\"van Dyke^ Anna ^B^Dr|  12 |x|fourth");
    EXPECT_EQ(f.lastName, "\"van Dyke");
    EXPECT_EQ(f.firstName, " Anna ");
    EXPECT_EQ(f.middleName, "B");
    EXPECT_EQ(f.patientId, "  12 ");
    EXPECT_EQ(f.birthDate, "x");
    EXPECT_EQ(argumentText({"Smith^John|12", "Main", "Street"}), "Smith^John|12 Main Street");
}

TEST(EntryRule, NeedsFiveFilledTextsAndTwoDates)
{
    const QLocale german(QLocale::German, QLocale::Germany);
    const StudyRecordTexts complete{"Smith", "John", "4711", "O", "Unknown", "07.12.2026", "01.02.1960"};
    EXPECT_TRUE(isRecordComplete(complete, german));

    StudyRecordTexts blank = complete;
    blank.lastName = " ";
    EXPECT_TRUE(isRecordComplete(blank, german)) << "a blank counts as filled";

    QString StudyRecordTexts::*const required[] = {&StudyRecordTexts::lastName,  &StudyRecordTexts::firstName,
                                                   &StudyRecordTexts::patientId, &StudyRecordTexts::sex,
                                                   &StudyRecordTexts::bodyPart,  &StudyRecordTexts::studyDate,
                                                   &StudyRecordTexts::birthDate};
    for (auto field : required) {
        StudyRecordTexts r = complete;
        r.*field = "";
        EXPECT_FALSE(isRecordComplete(r, german));
    }
    StudyRecordTexts badDate = complete;
    badDate.birthDate = "1.2.60";
    EXPECT_FALSE(isRecordComplete(badDate, german));
}
