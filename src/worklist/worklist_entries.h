// Worklist answers as list rows, and the worklist log folder.
#pragma once

#include "dicom/data_set.h"
#include "dicom/image_attributes.h"

#include <QDate>
#include <QLocale>
#include <QString>
#include <QStringList>

#include <array>

namespace skiascan {

/// The nine cells of a row: Time, Last Name, First Name, Middle Initial,
/// Birthdate, ID, Sex, Bodypart, Accession Number.
using WorklistRow = std::array<QString, 9>;

enum WorklistColumn {
    kTime = 0,
    kLastName,
    kFirstName,
    kMiddleInitial,
    kBirthdate,
    kId,
    kSex,
    kBodypart,
    kAccessionNumber,
};

/// Where the worklist dialog puts its list and buttons, in twips (1/15 pixel),
/// for a dialog of the given outer size.
struct WorklistLayout {
    int buttonLeft = 0;
    int listLeft = 60;
    int listWidth = 0;
    int listHeight = 0;
    int unit = 0;                     // u, the width unit of the columns
    std::array<int, 9> columnWidths{}; // 10, 18, 15, 12, 15, 10, 7, 13 u, then 1440
};
WorklistLayout worklistLayout(int dialogWidthTwips, int dialogHeightTwips);

/// A DICOM time (HHMMSS, HHMM, HH, with or without a fraction or colons) as
/// "hh:mm:ss"; empty when the text is no time.
QString worklistTime(const QString& dicomTime);

/// Fills the cells of a row from one answer, in this order: the three name
/// components (of the first name group that is not empty, when the name has
/// several; exactly as the answer has them), the time of the first
/// scheduled procedure step, the body part (first requested procedure code,
/// trimmed), the birth date in the locale's short format with a four-digit
/// year, ID and sex, the accession number. Throws Failure for an
/// answer without a scheduled procedure step; the cells set before stay.
void fillWorklistRow(const dicom::DataSet& answer, WorklistRow& row, const QLocale& locale);

/// What the answer scheduled, as the images of its study can carry it: every
/// value that is present, fits its value representation and holds no control
/// character or backslash; a code without its value, scheme or meaning and a
/// study reference without both UIDs are left out, and so is a Study Instance
/// UID that is no valid UID.
dicom::ScheduledStudy scheduledStudyOf(const dicom::DataSet& answer);

/// The fields of a row that could not be read in the answer's character set
/// ("patient name", "patient ID", ...); they are left empty in the row.
QStringList unreadableFields(const dicom::DataSet& answer);

/// Keeps the log folder "Logs" of the program folder and clears its file
/// "wlscu.log" on the first query of a day (by day of the month, as `logDay`
/// remembers). Returns the new value of `logDay`. Failures here are no reason to
/// withhold the worklist and are ignored.
int tidyWorklistLog(const QString& programFolder, int logDay, const QDate& today);

/// Appends one line, with the time, to the log file.
void appendWorklistLog(const QString& programFolder, const QString& line);

} // namespace skiascan
