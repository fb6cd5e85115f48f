// The scan flows' logic that needs no window: when a scan file is ready, the
// names of scan files, and the bookkeeping of a feeder stack.
#include "common/failure.h"
#include "scan/film_stack.h"
#include "scan/scan_file_watch.h"
#include "scan/scan_files.h"
#include "scan/scan_journal.h"
#include "support/qt_printers.h"

#include <QFile>
#include <QFileInfo>
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

    // Watching another file forgets the first.
    watch.watch(path);
    EXPECT_FALSE(watch.ready());
}

TEST(ScanFiles, NamesAreUniqueAndTheFolderIsCheckedFirst)
{
    QTemporaryDir dir;
    const QString folder = dir.path() + "/";
    ScanFileNamer names;
    const QString first = names.next(folder);
    EXPECT_TRUE(first.startsWith(folder));
    EXPECT_TRUE(first.endsWith(".tif"));
    write(first, "x");
    const QString second = names.next(folder);
    EXPECT_NE(second, first);
    EXPECT_EQ(QFileInfo(second).fileName().size(), QString("YYYYMMDDhhmmss.tif").size());

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
    film.numbering = {"2.25.1", "10:14:59", "2.25.2", "2.25.3", 4};
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
    EXPECT_TRUE(QFile::exists(program.filePath("Journal/damaged/2.25.9.json")));
    EXPECT_FALSE(QFile::exists(program.filePath("Journal/.writing-2.25.8.json")));

    journal.remove(film);
    EXPECT_TRUE(journal.films().empty());
    EXPECT_FALSE(scannerStillWorksOn(film)) << "no process of that id works on that file";
}
