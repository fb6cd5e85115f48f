#include "common/dates.h"

#include "support/qt_printers.h"

#include <gtest/gtest.h>

using namespace skiascan;

TEST(Dates, AcceptTheLocaleFormatsIsoAndDicomWithFourDigitYears)
{
    const QLocale german(QLocale::German, QLocale::Germany);
    EXPECT_EQ(parseDate("07.12.2026", german), QDate(2026, 12, 7));
    EXPECT_EQ(parseDate("7.12.2026", german), QDate(2026, 12, 7));
    EXPECT_EQ(parseDate("Montag, 7. Dezember 2026", german), QDate(2026, 12, 7));
    EXPECT_EQ(parseDate("2026-12-07", german), QDate(2026, 12, 7));
    EXPECT_EQ(parseDate("20261207", german), QDate(2026, 12, 7));
    EXPECT_EQ(parseDate(" 07.12.2026 ", german), QDate(2026, 12, 7));

    const QLocale us(QLocale::English, QLocale::UnitedStates);
    EXPECT_EQ(parseDate("12/7/2026", us), QDate(2026, 12, 7));
    EXPECT_EQ(parseDate("2/1/1960", us), QDate(1960, 2, 1));

    EXPECT_EQ(parseDate("7 Dec 2026", QLocale::c()), QDate(2026, 12, 7));
}

TEST(Dates, RefuseTwoDigitYearsAndNonDates)
{
    const QLocale german(QLocale::German, QLocale::Germany);
    for (const char* bad : {"07.12.26", "", "  ", "31.02.2026", "yesterday", "2026-13-01", "12/7/2026"})
        EXPECT_FALSE(parseDate(bad, german).has_value()) << bad;
    EXPECT_EQ(fourDigitYearFormat("dd.MM.yy"), "dd.MM.yyyy");
    EXPECT_EQ(fourDigitYearFormat("M/d/yy 'yy'"), "M/d/yyyy 'yy'");
    EXPECT_EQ(formatShortDate(QDate(1960, 2, 1), german), "01.02.1960");
    EXPECT_EQ(formatShortDate(QDate(1960, 2, 1), QLocale(QLocale::English, QLocale::UnitedStates)), "2/1/1960");
}

TEST(Times, RegionalFormatHasSecondsAndNoZoneAndParsesBack)
{
    const QLocale us(QLocale::English, QLocale::UnitedStates);
    const QString format = regionalTimeFormat(us);
    EXPECT_TRUE(format.contains("ss")) << format.toStdString();
    EXPECT_FALSE(format.contains('t')) << format.toStdString();
    const QTime t(14, 30, 5);
    EXPECT_EQ(parseTime(us.toString(t, format), us), t);
    EXPECT_EQ(parseTime("14:30:05", us), t);
    EXPECT_EQ(parseTime("143005", us), t);
    EXPECT_FALSE(parseTime("half past two", us).has_value());
}
