// What goes into the image of one scanned film: the patient name, the
// properties, the UIDs and the eighteen attributes, in their order.
#pragma once

#include "dicom/image.h"

#include <QDate>
#include <QString>
#include <QTime>

#include <functional>
#include <optional>
#include <utility>
#include <vector>

namespace skiascan::dicom {

/// The texts of the study record and the settings that an image carries, as
/// they stand in the main window's fields.
struct StudyRecord {
    QString lastName;          // PATNachname
    QString firstName;         // PATVorname
    QString middleName;        // PAT2Vorname
    QString patientId;         // PATID1
    QString birthDate;         // PATGebDatum
    QString sex;               // Sex
    QString studyDate;         // StudyDate
    QString studyDescription;  // StudyDescritpion
    QString seriesDescription; // SeriesDescription
    QString accessionNumber;   // AccessionNumber
    QString bodyPart;          // Bodypart
    QString windowCenter;      // WindowCenter setting
    QString windowWidth;       // WindowWidth setting
};

/// One item of a code sequence: value, coding scheme (and its version) and meaning.
struct Code {
    QString value;
    QString scheme;
    QString schemeVersion; // empty when the code has none
    QString meaning;
    bool operator==(const Code&) const = default;
};

/// What a worklist entry scheduled, as an image of its study carries it: the
/// study's identity and the order (requested procedure and scheduled step).
/// Every value is one that an image can carry; what an answer held malformed
/// is not here (see scheduledStudyOf()).
struct ScheduledStudy {
    QString studyUid;          // empty when the answer had no valid one: the study is made here
    QString referringPhysician; // a person name ("Last^First")
    std::vector<std::pair<QString, QString>> referencedStudies; // SOP class and instance UIDs
    QString requestedProcedureId;
    QString requestedProcedureDescription;
    std::vector<Code> requestedProcedureCodes;
    QString stepId;            // Scheduled Procedure Step ID
    QString stepDescription;   // Scheduled Procedure Step Description
    std::vector<Code> protocolCodes;

    /// What names it for the operator: "Chest PA, step 4711" (the requested
    /// procedure's description, else the step's; the step ID when there is one).
    QString label() const;
    bool operator==(const ScheduledStudy&) const = default;
};

/// What of `order` an image can carry: every value that fits its value
/// representation and holds no control character or backslash (blanks at its
/// ends dropped); a code without its value, scheme or meaning, a study
/// reference without both UIDs and a Study Instance UID that is no valid UID
/// are left out.
ScheduledStudy carriedPart(const ScheduledStudy& order);

/// True for a UID an image can carry: digits in dot-separated components,
/// no component empty or with a leading zero, at most 64 characters.
bool isValidUid(const QString& text);

/// A text value as an image can carry it: blanks at its ends dropped; empty
/// when it is longer than `maxLength` or holds a control character or a
/// backslash (which would make it two values).
QString carriedValue(const QString& text, int maxLength);

/// The study and image numbering an image belongs to.
struct ImageNumbering {
    QString studyUid;
    QString studyTime;
    QString seriesUid;
    QString instanceUid;
    qint16 number = 1; // Series, Acquisition and Instance Number
    /// The worklist entry the study was scheduled by, when a pick brought one.
    std::optional<ScheduledStudy> scheduled;
};

/// What a field of the study record is in the image, for what it may hold.
enum class ValueKind {
    NamePart, ///< one component of a person name: no "^" or "=" either
    Text,     ///< a single-valued text (ID, accession number, code, description)
};

/// Why a value typed into a field cannot go into the image as it stands: a
/// backslash (which DICOM reads as the start of a second value), a control
/// character, or "^" or "=" in a part of a name (which DICOM reads as further
/// parts and groups of the name). Empty when the value can go in.
QString whyNotCarried(const QString& value, ValueKind kind);

/// "last^first", or "last^first^middle" when there is a middle name. The texts
/// are used as they stand.
QString patientNameOf(const QString& last, const QString& first, const QString& middle);

/// Sets the patient and description properties. The descriptions are set only
/// when they are not empty. Throws Failure.
void setImageProperties(Image& image, const StudyRecord& record);

/// Sets the study, series and instance UIDs, adds the eighteen attributes in
/// their order and sets the SOP class. An image of a scheduled study also
/// carries the order: Referring Physician's Name, Referenced Study Sequence,
/// Request Attributes Sequence, and the Requested Procedure ID as Study ID. `now` is read once for each of the three
/// current times. Pixel Representation is "1" unless a pixel would then read as
/// negative. Throws Failure.
void addImageAttributes(Image& image, const StudyRecord& record, const ImageNumbering& numbering,
                        const QDate& today, const std::function<QTime()>& now);

} // namespace skiascan::dicom
