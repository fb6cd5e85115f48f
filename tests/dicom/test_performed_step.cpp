// The text form in which the outbox keeps a performed procedure step.

#include "common/failure.h"
#include "dicom/performed_step.h"
#include "support/qt_printers.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <gtest/gtest.h>

using namespace skiascan;
using dicom::PerformedStep;
using dicom::StepStatus;

namespace {

PerformedStep discontinuedStep()
{
    PerformedStep s;
    s.instanceUid = "2.25.3001";
    s.stepId = "4711";
    s.patient = {"Müller^Hans", "PID4711", QDate(1960, 2, 1), "M"};
    s.studyUid = "2.25.3002";
    s.accessionNumber = "ACC1";
    dicom::ScheduledStudy order;
    order.studyUid = s.studyUid;
    order.referencedStudies = {{"1.2.840.10008.3.1.2.3.1", "2.25.3003"}};
    order.requestedProcedureId = "RP1";
    order.requestedProcedureDescription = "Chest PA";
    order.requestedProcedureCodes = {{"RPC1", "99LOCAL", "", "Chest X-ray"}};
    order.stepId = "SPS1";
    order.stepDescription = "Film";
    order.protocolCodes = {{"P1", "99LOCAL", "1.0", "Digitise film"}};
    s.scheduled = order;
    s.stationAETitle = "SKIASCAN";
    s.stationName = "ROOM1";
    s.startDate = QDate(2026, 12, 7);
    s.startTime = QTime(10, 42, 5, 250);
    s.endDate = QDate(2026, 12, 7);
    s.endTime = QTime(10, 55, 30);
    s.studyId = "RP1";
    s.description = "Chest PA";
    s.series = {{"2.25.3004", "Film 1", "Chest", "PACS", "Doe^Jane", "Miller^Ann",
                 {{"1.2.840.10008.5.1.4.1.1.7", "2.25.3005"}}},
                {"2.25.3006", "Film 2", "", "", "", "", {}}};
    s.status = StepStatus::Discontinued;
    s.discontinuationReason = dicom::imagesRemovedReason();
    return s;
}

} // namespace

// The outbox keeps a step as text: what is read back is the step that was
// written, and a file that does not hold a whole step is refused with its
// reason rather than half read.
TEST(PerformedStepText, ReadsBackWhatWasWrittenAndRefusesWhatIsNoStep)
{
    const PerformedStep step = discontinuedStep();
    const QByteArray bytes = dicom::stepToJsonBytes(step);
    EXPECT_EQ(dicom::stepFromJson(bytes), step);
    EXPECT_EQ(dicom::stepToJsonBytes(dicom::stepFromJson(bytes)), bytes);
    PerformedStep unscheduled = discontinuedStep();
    unscheduled.scheduled.reset();
    unscheduled.patient.birthDate = QDate();
    unscheduled.endDate = QDate();
    unscheduled.endTime = QTime();
    unscheduled.status = StepStatus::InProgress;
    unscheduled.discontinuationReason.reset();
    EXPECT_EQ(dicom::stepFromJson(dicom::stepToJsonBytes(unscheduled)), unscheduled);

    const auto reason = [](const QByteArray& text) {
        try {
            dicom::stepFromJson(text);
        } catch (const Failure& e) {
            return (e.kind() == Failure::Kind::Damaged ? "" : "(not Damaged) ") + e.description().toStdString();
        }
        return std::string("(read)");
    };
    EXPECT_EQ(reason(bytes.left(bytes.size() / 2)).rfind("The step cannot be read: it is not JSON", 0), 0u);
    EXPECT_EQ(reason("[1, 2]"), "The step cannot be read: it is no JSON object.");
    QJsonObject o = dicom::stepToJson(step);
    const auto with = [&](const QString& key, const QJsonValue& value) {
        QJsonObject changed = o;
        if (value.isUndefined())
            changed.remove(key);
        else
            changed.insert(key, value);
        return QJsonDocument(changed).toJson();
    };
    EXPECT_EQ(reason(with("stepId", QJsonValue(QJsonValue::Undefined))), "The step cannot be read: step.stepId is missing.");
    EXPECT_EQ(reason(with("series", "none")), "The step cannot be read: step.series is not what it must be.");
    EXPECT_EQ(reason(with("status", "DONE")), "The step cannot be read: \"DONE\" is no step status.");
    EXPECT_EQ(reason(with("endDate", "2026-13-01")),
              "The step cannot be read: \"2026-13-01\" in step.endDate is no date.");
    EXPECT_EQ(reason(with("instanceUid", "2.25.x")), "The step cannot be read: \"2.25.x\" is no SOP Instance UID.");
    QJsonObject series = o.value("series").toArray().at(0).toObject();
    series.insert("images", QJsonArray{QJsonObject{{"sopClassUid", 7}}});
    EXPECT_EQ(reason(with("series", QJsonArray{series})),
              "The step cannot be read: step.series[0].images[0].sopClassUid is not what it must be.");
}
