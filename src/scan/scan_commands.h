// The scanner's command lines and the names of scanned files: what the scan
// flows hand to the scanner program, without any window.
#pragma once

#include <QDateTime>
#include <QString>

namespace skiascan {

/// True when the scanning application is the scanner program: its last 12
/// characters are "SCANFILE.EXE" in any case. Otherwise scans copy the test image.
bool isScannerProgram(const QString& scanApp);

/// The file of a scan started at `when`: the image folder directly followed by
/// "YYYYMMDDhhmmss.tif" (the folder carries its own separator).
QString scanFileName(const QString& imageFolder, const QDateTime& when);

/// Where a film sits in a feeder stack, which the scanner is told.
enum class FilmPlace { Single, First, Middle, Last };

/// The options that go before the file name for a film of that place.
QString scanOptions(FilmPlace place);

/// The place of film `index` (from 1) when the stack's Films field now reads
/// `filmsNow`: the first film first, then the last one when the index equals it.
FilmPlace filmPlace(int index, int filmsNow);

/// The whole command line: program, options, file name, and the additional
/// parameters after one space when there are any. Nothing is quoted.
QString scanCommandLine(const QString& scanApp, FilmPlace place, const QString& file, const QString& parameters);

/// The folder of the test application: its path up to and including the last
/// separator; empty when it has none.
QString testApplicationFolder(const QString& testApp);

} // namespace skiascan
