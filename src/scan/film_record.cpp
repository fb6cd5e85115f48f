#include "scan/film_record.h"

#include "common/dates.h"

#include <QFile>

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

bool scannerStillWorksOn(const FilmRecord& film)
{
    if (film.scannerProcess <= 0)
        return false;
    // The process id may have gone to another program since: it counts only
    // when its arguments name the film's file.
    QFile commandLine(QStringLiteral("/proc/%1/cmdline").arg(film.scannerProcess));
    if (!commandLine.open(QIODevice::ReadOnly))
        return false;
    return commandLine.readAll().split('\0').contains(QByteArray("/F:") + QFile::encodeName(film.scanFile));
}

} // namespace skiascan
