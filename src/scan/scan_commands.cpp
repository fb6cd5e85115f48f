#include "scan/scan_commands.h"

#include <QDir>
#include <QProcess>

namespace skiascan {

bool isScannerProgram(const QString& scanApp)
{
    return scanApp.right(12).compare(QLatin1String("SCANFILE.EXE"), Qt::CaseInsensitive) == 0;
}

QString scanFileName(const QString& imageFolder, const QDateTime& when)
{
    return imageFolder + when.toString(QStringLiteral("yyyyMMddHHmmss")) + QStringLiteral(".tif");
}

QStringList scanOptions(FilmPlace place)
{
    switch (place) {
    case FilmPlace::Single:
        return {QStringLiteral("/TIF"), QStringLiteral("/LUT:I")};
    case FilmPlace::First:
        return {QStringLiteral("/HR:OFF"), QStringLiteral("/TIF"), QStringLiteral("/LUT:I")};
    case FilmPlace::Middle:
        return {QStringLiteral("/HR:OFF"), QStringLiteral("/FF"), QStringLiteral("/TIF"), QStringLiteral("/LUT:I")};
    case FilmPlace::Last:
        return {QStringLiteral("/FF"), QStringLiteral("/TIF"), QStringLiteral("/LUT:I")};
    }
    return {};
}

FilmPlace filmPlace(int index, int filmsNow)
{
    if (index == 1)
        return FilmPlace::First;
    return index == filmsNow ? FilmPlace::Last : FilmPlace::Middle;
}

QStringList scanArguments(FilmPlace place, const QString& file, const QString& parameters)
{
    QStringList arguments = scanOptions(place);
    arguments << QStringLiteral("/F:") + file;
    arguments << QProcess::splitCommand(parameters);
    return arguments;
}

QString commandLineText(const QString& program, const QStringList& arguments)
{
    QStringList words;
    for (const QString& word : QStringList(program) + arguments)
        words << (word.contains(QLatin1Char(' ')) ? QLatin1Char('"') + word + QLatin1Char('"') : word);
    return words.join(QLatin1Char(' '));
}

QString testApplicationFolder(const QString& testApp)
{
    const qsizetype last = testApp.lastIndexOf(QDir::separator());
    return last < 0 ? QString() : testApp.left(last + 1);
}

} // namespace skiascan
