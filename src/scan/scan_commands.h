// What the scan flows hand to the scanner program: its arguments and the names
// of scanned files, without any window.
#pragma once

#include <QDateTime>
#include <QString>
#include <QStringList>

namespace skiascan {

/// True when the scanning application is the scanner program: its last 12
/// characters are "SCANFILE.EXE" in any case. Otherwise scans copy the test image.
bool isScannerProgram(const QString& scanApp);

/// The file of a scan started at `when`: the image folder directly followed by
/// "YYYYMMDDhhmmss.tif" (the folder carries its own separator).
QString scanFileName(const QString& imageFolder, const QDateTime& when);

/// Where a film sits in a feeder stack, which the scanner is told.
enum class FilmPlace { Single, First, Middle, Last };

/// The options for a film of that place, each one argument: "/HR:OFF" and
/// "/FF" as the place needs them, then "/TIF" and "/LUT:I".
QStringList scanOptions(FilmPlace place);

/// The place of film `index` (from 1) when the stack's Films field now reads
/// `filmsNow`: the first film first, then the last one when the index equals it.
FilmPlace filmPlace(int index, int filmsNow);

/// The scanner's arguments for one film: the options, "/F:" and the file's path
/// as one argument (blanks and all), then the additional parameters split by the
/// usual quoting rules ("a b" with its quotes is one argument).
QStringList scanArguments(FilmPlace place, const QString& file, const QString& parameters);

/// The program and its arguments as one line for messages and the log, each
/// argument that holds a blank in double quotes.
QString commandLineText(const QString& program, const QStringList& arguments);

/// The folder of the test application: its path up to and including the last
/// separator; empty when it has none.
QString testApplicationFolder(const QString& testApp);

} // namespace skiascan
