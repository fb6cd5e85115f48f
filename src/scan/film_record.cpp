#include "scan/film_record.h"

#include "common/dates.h"

#include <QDir>
#include <QFile>

#include <algorithm>
#include <limits>

namespace skiascan {

dicom::ImageNumbering numberFilm(const StudyNumbering& state, const dicom::UidGenerator& uids, const QTime& now)
{
    dicom::ImageNumbering numbering;
    const int counter = state.worklistUsed ? 0 : state.imageCounter;
    numbering.number = static_cast<qint16>(std::min<int>(counter + 1, std::numeric_limits<qint16>::max()));
    if (state.studyUid.isEmpty()) {
        numbering.studyUid = uids.newUid();
        numbering.studyTime = clockTime(now);
        numbering.number = 1;
    } else {
        numbering.studyUid = state.studyUid;
        numbering.studyTime = state.studyTime;
        numbering.scheduled = state.scheduled;
    }
    numbering.seriesUid = uids.newUid();
    numbering.instanceUid = uids.newUid();
    return numbering;
}

void StudyNumbering::importBegins()
{
    if (worklistUsed) {
        worklistUsed = false;
        imageCounter = 0;
    }
}

bool StudyNumbering::full() const
{
    return imageCounter == std::numeric_limits<qint16>::max();
}

void StudyNumbering::buildFailed()
{
    if (!full())
        ++imageCounter;
}

void StudyNumbering::imported(const dicom::ImageNumbering& film)
{
    if (studyUid.isEmpty()) {
        studyUid = film.studyUid;
        studyTime = film.studyTime;
    }
    imageCounter = film.number;
    worklistUsed = false;
}

namespace {

// True when process `pid` runs with an argument naming `file` as the scan file.
bool processScans(const QString& pid, const QByteArray& fileArgument)
{
    QFile commandLine(QStringLiteral("/proc/%1/cmdline").arg(pid));
    return commandLine.open(QIODevice::ReadOnly) && commandLine.readAll().split('\0').contains(fileArgument);
}

} // namespace

bool scannerStillWorksOn(const FilmRecord& film)
{
    const QByteArray fileArgument = QByteArray("/F:") + QFile::encodeName(film.scanFile);
    // The process id may have gone to another program since: it counts only
    // when its arguments name the film's file.
    if (film.scannerProcess > 0)
        return processScans(QString::number(film.scannerProcess), fileArgument);
    // Ended after the scanner started, before its process id was noted: any
    // process working on the film's file is its scanner.
    const QStringList processes = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    return std::any_of(processes.begin(), processes.end(), [&](const QString& pid) {
        bool number = false;
        pid.toLongLong(&number);
        return number && processScans(pid, fileArgument);
    });
}

} // namespace skiascan
