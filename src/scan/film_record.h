// What a film is imported with, fixed when its scan starts: the study record as
// it stood at the click, and the film's identity (its study, series and SOP
// Instance UIDs and its number). A film carries the patient it was scanned for,
// whatever is typed or picked while the scanner runs, and keeps its UIDs when it
// is recovered after a crash.
#pragma once

#include "dicom/image_attributes.h"
#include "dicom/uid_generator.h"

#include <QDateTime>
#include <QString>
#include <QTime>

namespace skiascan {

struct FilmRecord {
    QString scanFile;                // the TIFF the scanner writes
    dicom::StudyRecord study;        // the study record and window settings at the click
    dicom::ImageNumbering numbering; // the film's study, UIDs and number
    int film = 1;                    // its place in the stack, from 1
    int films = 1;                   // the films of the stack (1 for a single scan)
    QDateTime started;               // when its scan started
    qint64 scannerProcess = 0;       // the scanner's process id, 0 until it runs
};

/// The current study, which numbers its films: the one place where a film's
/// study and number are decided.
struct StudyNumbering {
    QString studyUid;  // StudyUID: empty means the next film opens a new study
    QString studyTime; // StudyTime
    qint16 imageCounter = 0; // ImageCounter: the number of the last image of the study
    bool worklistUsed = false; // WorklistUsed: the next image is numbered 1
    /// The worklist entry the study was scheduled by: its films carry the order.
    /// Ends with the study.
    std::optional<dicom::ScheduledStudy> scheduled;

    /// The import of a film begins: after a worklist pick the counting starts
    /// over.
    void importBegins();
    /// True when the study cannot take another image (its counter is at 32767).
    bool full() const;
    /// The image of a film could not be built: its number is used up.
    void buildFailed();
    /// The film's image is built: the study is the film's from now on, and its
    /// number the last one given.
    void imported(const dicom::ImageNumbering& film);
};

/// The identity the next film gets if it imports well: a new study (new UID,
/// `now` as its time, number 1) when `state` has none, else the next number of
/// the study (from 1 again after a worklist pick), with the order the study was
/// scheduled by; a series and an instance UID of its own in either case. A film numbered past 32767 cannot be imported;
/// its number then stays 32767 and the import refuses it.
dicom::ImageNumbering numberFilm(const StudyNumbering& state, const dicom::UidGenerator& uids, const QTime& now);

/// True while the film's scanner program (by its process id, or, when the
/// program ended before the id was noted, any process) is still at work on
/// the film's file: a scanner a crash left running is waited for.
bool scannerStillWorksOn(const FilmRecord& film);

} // namespace skiascan
