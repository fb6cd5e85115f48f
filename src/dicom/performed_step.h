// One Modality Performed Procedure Step: what the station tells the RIS about
// the work done for a study (DICOM PS3.4 annex F, PS3.3 C.4.13 to C.4.15), and
// the text form in which the outbox keeps it.
#pragma once

#include "dicom/image_attributes.h"

#include <QByteArray>
#include <QDate>
#include <QJsonObject>
#include <QString>
#include <QTime>

#include <optional>
#include <vector>

namespace skiascan::dicom {

/// The Modality Performed Procedure Step SOP class (PS3.4 F.7).
inline constexpr const char* kMppsSopClass = "1.2.840.10008.3.1.2.3.3";

/// Performed Procedure Step Status (0040,0252).
enum class StepStatus {
    InProgress,   ///< "IN PROGRESS": created, images may still come
    Completed,    ///< "COMPLETED": the study has ended at this station
    Discontinued, ///< "DISCONTINUED": it ended without an image
};

/// "IN PROGRESS", "COMPLETED" or "DISCONTINUED".
QString statusText(StepStatus status);

/// True for COMPLETED and DISCONTINUED: after the N-SET that says so, the
/// step may no longer be updated.
bool isFinal(StepStatus status);

/// The reason a step whose every image the operator removed is discontinued
/// with: code 110513 of DICOM's own scheme (DCM), "Discontinued for
/// unspecified reason" (PS3.16 CID 9300).
Code imagesRemovedReason();

/// One image made in the step: its SOP class and instance.
struct ImageReference {
    QString sopClassUid;
    QString sopInstanceUid;
    bool operator==(const ImageReference&) const = default;
};

/// One series made in the step, with every image of it.
struct PerformedSeries {
    QString seriesUid;           ///< Series Instance UID
    QString description;         ///< Series Description; may be empty
    QString protocolName;        ///< Protocol Name; when empty the series' description, else "Film digitisation", is sent
    QString retrieveAETitle;     ///< where the series can be retrieved from; may be empty
    QString performingPhysician; ///< a person name ("Last^First"); may be empty
    QString operatorName;        ///< Operators' Name, a person name; may be empty
    std::vector<ImageReference> images;
    bool operator==(const PerformedSeries&) const = default;
};

/// The patient the step was performed on, as the images carry it.
struct StepPatient {
    QString name;    ///< "Last^First^Middle"
    QString id;
    QDate birthDate; ///< null when not known
    QString sex;     ///< "M", "F", "O" or empty
    bool operator==(const StepPatient&) const = default;
};

/// One Modality Performed Procedure Step.
struct PerformedStep {
    QString instanceUid; ///< its SOP Instance UID, a "2.25." UID made here (UidGenerator)
    QString stepId;      ///< Performed Procedure Step ID
    StepPatient patient;
    QString studyUid;        ///< the Study Instance UID the images carry
    QString accessionNumber; ///< may be empty
    /// The worklist entry the study was scheduled by; absent for a study made
    /// here, which is then reported as unscheduled (PS3.4 F.7.2.1.1): the
    /// scheduled step's values stay empty.
    std::optional<ScheduledStudy> scheduled;
    QString stationAETitle; ///< Performed Station AE Title: this station's
    QString stationName;    ///< Performed Station Name; may be empty
    QDate startDate;
    QTime startTime;
    QDate endDate;   ///< null while the step is in progress
    QTime endTime;   ///< null while the step is in progress
    /// Modality. The images carry "SC", which is a SOP class and no Modality
    /// term of PS3.3 C.7.3.1.1.1; a step's Modality may differ from its
    /// images' (PS3.3 C.4.15), and "OT" (other) is the term for a digitised film.
    QString modality = QStringLiteral("OT");
    QString studyId;     ///< the Study ID the images carry
    QString description; ///< Performed Procedure Step Description; may be empty
    std::vector<PerformedSeries> series;
    StepStatus status = StepStatus::InProgress;
    /// Performed Procedure Step Discontinuation Reason Code Sequence; sent
    /// only with DISCONTINUED.
    std::optional<Code> discontinuationReason;

    /// The images of every series.
    int imageCount() const;
    bool operator==(const PerformedStep&) const = default;
};

/// The step as text, every field under its own name; stepFromJson() reads it
/// back to an equal step.
QJsonObject stepToJson(const PerformedStep& step);
QByteArray stepToJsonBytes(const PerformedStep& step);

/// Reads what stepToJson() wrote. Throws Failure (kind Damaged) naming what
/// is wrong when the text is not such a step: not JSON, a field missing or of
/// the wrong type, a status, date or time that is none, an SOP instance UID
/// that is no UID.
PerformedStep stepFromJson(const QJsonObject& object);
PerformedStep stepFromJson(const QByteArray& bytes);

} // namespace skiascan::dicom
