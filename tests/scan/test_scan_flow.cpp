// The scan flows' logic that needs no window: when a scan file is ready, the
// names of scan files, and the bookkeeping of a feeder stack.
#include "common/failure.h"
#include "scan/film_stack.h"
#include "scan/scan_file_watch.h"
#include "scan/scan_files.h"
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
