#include "common/failure.h"
#include "scan/scan_commands.h"
#include "support/qt_printers.h"


#include <gtest/gtest.h>

using namespace skiascan;

TEST(ScanCommands, TheScannerProgramIsRecognisedByItsLast12Characters)
{
    EXPECT_TRUE(isScannerProgram("/opt/scanner/SCANFILE.EXE"));
    EXPECT_TRUE(isScannerProgram("/opt/scanner/scanfile.exe"));
    EXPECT_TRUE(isScannerProgram("SCANFILE.EXE"));
    EXPECT_FALSE(isScannerProgram("/opt/scanner/SCANFILE.EXE.bak"));
    EXPECT_FALSE(isScannerProgram("/opt/scanner/CANFILE.EXE"));
    EXPECT_FALSE(isScannerProgram(""));
}

TEST(ScanCommands, FileNamesAreTheTimeOfTheScanInTheImageFolder)
{
    EXPECT_EQ(scanFileName("/scans/", QDateTime(QDate(2004, 10, 12), QTime(14, 30, 5))), "/scans/20041012143005.tif");
    EXPECT_EQ(scanFileName("/scans", QDateTime(QDate(2004, 1, 2), QTime(3, 4, 5))), "/scans20040102030405.tif");
}

TEST(ScanCommands, ArgumentsCarryThePlaceOfTheFilmThePathWholeAndTheParameters)
{
    EXPECT_EQ(scanArguments(FilmPlace::Single, "/i/1.tif", ""), (QStringList{"/TIF", "/LUT:I", "/F:/i/1.tif"}));
    EXPECT_EQ(scanArguments(FilmPlace::Single, "/home/op/Film Scans/1.tif", "/R:150  \"/NAME:Film Room\""),
              (QStringList{"/TIF", "/LUT:I", "/F:/home/op/Film Scans/1.tif", "/R:150", "/NAME:Film Room"}));
    EXPECT_EQ(scanOptions(FilmPlace::First), (QStringList{"/HR:OFF", "/TIF", "/LUT:I"}));
    EXPECT_EQ(scanOptions(FilmPlace::Middle), (QStringList{"/HR:OFF", "/FF", "/TIF", "/LUT:I"}));
    EXPECT_EQ(scanOptions(FilmPlace::Last), (QStringList{"/FF", "/TIF", "/LUT:I"}));
    EXPECT_EQ(commandLineText("/opt/Scanner Software/SCANFILE.EXE", {"/TIF", "/F:/a b.tif"}),
              "\"/opt/Scanner Software/SCANFILE.EXE\" /TIF \"/F:/a b.tif\"");

    EXPECT_EQ(filmPlace(1, 1), FilmPlace::First);
    EXPECT_EQ(filmPlace(1, 6), FilmPlace::First);
    EXPECT_EQ(filmPlace(2, 2), FilmPlace::Last);
    EXPECT_EQ(filmPlace(5, 6), FilmPlace::Middle);
    EXPECT_EQ(filmPlace(6, 6), FilmPlace::Last);
    EXPECT_EQ(filmPlace(4, 3), FilmPlace::Middle) << "films after a lowered count are middle films";
}

TEST(ScanCommands, TheTestApplicationFolderEndsWithItsSeparator)
{
    EXPECT_EQ(testApplicationFolder("/opt/acr/test"), "/opt/acr/");
    EXPECT_EQ(testApplicationFolder("/test"), "/");
    EXPECT_EQ(testApplicationFolder("acrtest"), "");
    EXPECT_EQ(testApplicationFolder(""), "");
}
