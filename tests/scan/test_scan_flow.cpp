// The scan flows' logic that needs no window: when a scan file is ready, the
// names of scan files, and the bookkeeping of a feeder stack.
#include "common/failure.h"
#include "dicom/uid_generator.h"
#include "scan/film_stack.h"
#include "scan/scan_file_watch.h"
#include "scan/scan_files.h"
#include "scan/scan_journal.h"
#include "support/qt_printers.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTest>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace skiascan;

namespace {

void write(const QString& path, const QByteArray& bytes, QIODevice::OpenMode mode = QIODevice::WriteOnly)
{
    QFile file(path);
    ASSERT_TRUE(file.open(mode));
    file.write(bytes);
}

} // namespace

TEST(ScanFileWatch, AFileIsReadyOnlyWhenALaterLookFindsItUnchanged)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("scan.tif");
    ScanFileWatch watch;
    watch.watch(path);
    EXPECT_FALSE(watch.ready()) << "no file yet";
    write(path, QByteArray(100, 'a'));
    EXPECT_FALSE(watch.ready()) << "the first look only notes the file";
    write(path, QByteArray(50, 'b'), QIODevice::Append);
    EXPECT_FALSE(watch.ready()) << "the file grew since the last look";
    EXPECT_TRUE(watch.ready());
    EXPECT_TRUE(watch.ready());

    // A file that vanishes and comes back is noted anew.
    QFile::remove(path);
    EXPECT_FALSE(watch.ready());
    write(path, QByteArray(150, 'c'));
    EXPECT_FALSE(watch.ready());
    EXPECT_TRUE(watch.ready());

    // A file made at its full size first and filled in place keeps its size:
    // its later modification time says it is still being written.
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadWrite));
    file.write(QByteArray(150, 'd'));
    file.flush();
    ASSERT_TRUE(file.setFileTime(QFileInfo(path).lastModified().addSecs(2), QFileDevice::FileModificationTime));
    file.close();
    EXPECT_EQ(QFileInfo(path).size(), 150);
    EXPECT_FALSE(watch.ready()) << "same size, later modification time";
    EXPECT_TRUE(watch.ready());

    // Watching another file forgets the first.
    watch.watch(path);
    EXPECT_FALSE(watch.ready());
}

TEST(ScanFiles, NamesAreUniqueAndTheFolderIsCheckedFirst)
{
    QTemporaryDir dir;
    const QString folder = dir.path() + "/";
    ScanFileNamer names;
    const QDateTime now(QDate(2026, 12, 7), QTime(10, 15, 30));
    const QString first = names.next(folder, now);
    EXPECT_EQ(first, folder + "20261207101530.tif");
    EXPECT_EQ(names.next(folder, now), "") << "a name is given once";
    write(folder + "20261207101531.tif", "x");
    EXPECT_EQ(names.next(folder, now.addSecs(1)), "") << "a file of that name exists";
    EXPECT_EQ(names.next(folder, now.addSecs(2)), folder + "20261207101532.tif");

    EXPECT_NO_THROW(checkImageFolder(folder));
    try {
        checkImageFolder(folder + "missing/");
        ADD_FAILURE() << "a missing folder passed";
    } catch (const Failure& e) {
        EXPECT_EQ(e.description(), "The scanned image folder " + folder + "missing/ does not exist.");
    }
}

TEST(FilmStack, TellsEachFilmsPlaceAndStopsAfterAFailedFilmInScannerModeOnly)
{
    FilmStack six(6, true);
    QList<FilmPlace> places;
    while (six.next())
        places << six.place(6);
    EXPECT_EQ(places, (QList<FilmPlace>{FilmPlace::First, FilmPlace::Middle, FilmPlace::Middle, FilmPlace::Middle,
                                         FilmPlace::Middle, FilmPlace::Last}));

    // Films lowered to 3 while film 2 runs: film 3 is the last, the stack goes on.
    FilmStack lowered(6, true);
    lowered.next();
    lowered.next();
    lowered.next();
    EXPECT_EQ(lowered.place(3), FilmPlace::Last);
    lowered.next();
    EXPECT_EQ(lowered.place(3), FilmPlace::Middle);

    FilmStack one(1, true);
    ASSERT_TRUE(one.next());
    EXPECT_EQ(one.place(1), FilmPlace::First);
    EXPECT_FALSE(one.next());

    FilmStack scanner(4, true);
    scanner.next();
    scanner.next();
    scanner.filmFailed();
    EXPECT_FALSE(scanner.next());
    EXPECT_EQ(scanner.film(), 2);

    FilmStack testMode(4, false);
    int films = 0;
    while (testMode.next()) {
        ++films;
        testMode.filmFailed();
    }
    EXPECT_EQ(films, 4);

    EXPECT_FALSE(FilmStack(0, true).next());
}

TEST(ScanJournal, KeepsEachFilmsRecordAndMovesWhatCannotBeReadAside)
{
    QTemporaryDir program;
    ScanJournal journal(program.path());
    FilmRecord film;
    film.scanFile = "/scans/Film Scans/20261207101500.tif";
    film.study = {"Müller", "Jürgen", "", "PID-4711", "14.03.1958", "M", "07.12.2026", "Thorax", "", "A1", "CHEST",
                  "1500", "3000"};
    // A film of a scheduled study keeps its order too.
    dicom::ScheduledStudy order;
    order.studyUid = "1.2.840.99.1";
    order.referringPhysician = "Weiß^Anna";
    order.referencedStudies = {{"1.2.840.10008.3.1.2.3.1", "1.2.840.99.1"}};
    order.requestedProcedureId = "RP-17";
    order.requestedProcedureCodes = {{"XR-CH", "LOCAL", "", "Chest PA"}};
    order.stepId = "4711";
    order.protocolCodes = {{"P1", "99LOCAL", "1.0", "Chest two views"}};
    film.numbering = {"1.2.840.99.1", "10:14:59", "2.25.2", "2.25.3", 4, order};
    film.film = 2;
    film.films = 6;
    film.started = QDateTime(QDate(2026, 12, 7), QTime(10, 15));
    film.scannerProcess = 4242;
    journal.write(film);
    write(program.filePath("Journal/2.25.9.json"), "{\"scanFile\": \"/x.tif\"");
    write(program.filePath("Journal/.writing-2.25.8.json"), "{");

    const std::vector<FilmRecord> films = journal.films();
    ASSERT_EQ(films.size(), 1u);
    EXPECT_EQ(ScanJournal::toJson(films[0]), ScanJournal::toJson(film));
    EXPECT_EQ(films[0].numbering.scheduled, order);
    EXPECT_TRUE(QFile::exists(program.filePath("Journal/damaged/2.25.9.json")));
    EXPECT_FALSE(QFile::exists(program.filePath("Journal/.writing-2.25.8.json")));

    journal.remove(film);
    EXPECT_TRUE(journal.films().empty());
}

// A scanner a crash left running is waited for; a process that took over its
// id since, or any other live process, is not.
TEST(ScanJournal, OnlyAScannerWorkingOnTheFilmsFileCountsAsStillAtWork)
{
    QTemporaryDir dir;
    FilmRecord film;
    film.scanFile = dir.filePath("film 1.tif");

    QProcess other;
    other.start("sleep", {"30"});
    ASSERT_TRUE(other.waitForStarted());
    film.scannerProcess = other.processId();
    EXPECT_FALSE(scannerStillWorksOn(film)) << "a live process that is not the scanner";

    QProcess scanner;
    scanner.start(QString(SKIASCAN_PROGRAM_DIR) + "/SCANFILE.EXE", {"/TIF", "/F:" + film.scanFile, "/SIM:DELAY=30000"});
    ASSERT_TRUE(scanner.waitForStarted());
    film.scannerProcess = scanner.processId();
    EXPECT_TRUE(QTest::qWaitFor([&] { return scannerStillWorksOn(film); }, 5000))
        << "the scanner at work on the film's file";
    FilmRecord another = film;
    another.scanFile = dir.filePath("film 2.tif");
    EXPECT_FALSE(scannerStillWorksOn(another)) << "the scanner at work on another film";

    scanner.kill();
    scanner.waitForFinished();
    EXPECT_FALSE(scannerStillWorksOn(film)) << "the scanner has ended";
    film.scannerProcess = 0;
    EXPECT_FALSE(scannerStillWorksOn(film));
    other.kill();
    other.waitForFinished();
}

TEST(StudyNumbering, NumbersFollowTheStudyAndTheCounterNeverWrapsAround)
{
    const dicom::UidGenerator uids;
    StudyNumbering study;
    dicom::ImageNumbering first = numberFilm(study, uids, QTime(10, 15, 0));
    EXPECT_EQ(first.number, 1);
    EXPECT_EQ(first.studyTime, "10:15:00");
    study.importBegins();
    study.imported(first);
    EXPECT_EQ(study.studyUid, first.studyUid);
    const dicom::ImageNumbering second = numberFilm(study, uids, QTime(11, 0, 0));
    EXPECT_EQ(second.studyUid, first.studyUid);
    EXPECT_EQ(second.studyTime, "10:15:00");
    EXPECT_EQ(second.number, 2);
    EXPECT_NE(second.instanceUid, first.instanceUid);

    study.imageCounter = 32766;
    EXPECT_FALSE(study.full());
    study.buildFailed();
    EXPECT_TRUE(study.full()) << "a failed build uses its number";
    study.buildFailed();
    EXPECT_EQ(study.imageCounter, 32767) << "never past the largest number";
    EXPECT_EQ(numberFilm(study, uids, QTime()).number, 32767);

    study.worklistUsed = true;
    EXPECT_EQ(numberFilm(study, uids, QTime()).number, 1) << "after the worklist the numbering restarts";
    study.importBegins();
    EXPECT_FALSE(study.worklistUsed);
    EXPECT_FALSE(study.full());
}
