// What goes into the image of one scanned film: the patient name, the
// properties, the UIDs and the eighteen attributes, in their order.
#pragma once

#include "dicom/image.h"

#include <QDate>
#include <QString>
#include <QTime>

#include <functional>

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

/// The study and image numbering an image belongs to.
struct ImageNumbering {
    QString studyUid;
    QString studyTime;
    QString seriesUid;
    QString instanceUid;
    qint16 number = 1; // Series, Acquisition and Instance Number
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
/// their order and sets the SOP class. `now` is read once for each of the three
/// current times. Pixel Representation is "1" unless a pixel would then read as
/// negative. Throws Failure.
void addImageAttributes(Image& image, const StudyRecord& record, const ImageNumbering& numbering,
                        const QDate& today, const std::function<QTime()>& now);

} // namespace skiascan::dicom
