#include "scan/scan_commands.h"

#include <QDir>

namespace skiascan {

bool isScannerProgram(const QString& scanApp)
{
    return scanApp.right(12).compare(QLatin1String("SCANFILE.EXE"), Qt::CaseInsensitive) == 0;
}

QString scanFileName(const QString& imageFolder, const QDateTime& when)
{
    return imageFolder + when.toString(QStringLiteral("yyyyMMddHHmmss")) + QStringLiteral(".tif");
}

QString scanOptions(FilmPlace place)
{
    switch (place) {
    case FilmPlace::Single:
        return QStringLiteral(" /TIF /LUT:I /F:");
    case FilmPlace::First:
        return QStringLiteral(" /HR:OFF /TIF /LUT:I /F:");
    case FilmPlace::Middle:
        return QStringLiteral(" /HR:OFF /FF /TIF /LUT:I /F:");
    case FilmPlace::Last:
        return QStringLiteral(" /FF /TIF /LUT:I /F:");
    }
    return {};
}

FilmPlace filmPlace(int index, int filmsNow)
{
    if (index == 1)
        return FilmPlace::First;
    return index == filmsNow ? FilmPlace::Last : FilmPlace::Middle;
}

QString scanCommandLine(const QString& scanApp, FilmPlace place, const QString& file, const QString& parameters)
{
    QString line = scanApp + scanOptions(place) + file;
    if (!parameters.isEmpty())
        line += QLatin1Char(' ') + parameters;
    return line;
}

QString testApplicationFolder(const QString& testApp)
{
    const qsizetype last = testApp.lastIndexOf(QDir::separator());
    return last < 0 ? QString() : testApp.left(last + 1);
}

} // namespace skiascan
