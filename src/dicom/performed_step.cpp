// A performed procedure step and its text form. Reading is strict: an outbox
// entry that does not hold a whole step is refused with its reason, so that
// nothing half-read is ever sent to a RIS.

#include "dicom/performed_step.h"

#include "common/failure.h"

#include <QJsonArray>
#include <QJsonDocument>

namespace skiascan::dicom {

QString statusText(StepStatus status)
{
    switch (status) {
    case StepStatus::InProgress:
        return QStringLiteral("IN PROGRESS");
    case StepStatus::Completed:
        return QStringLiteral("COMPLETED");
    case StepStatus::Discontinued:
        return QStringLiteral("DISCONTINUED");
    }
    return {};
}

bool isFinal(StepStatus status)
{
    return status != StepStatus::InProgress;
}

Code imagesRemovedReason()
{
    // PS3.16 CID 9300 (Procedure Discontinuation Reasons). The operator removed
    // every image without saying why; none of the specific reasons (equipment
    // failure, incorrect worklist entry selected, ...) can be claimed for it.
    return {QStringLiteral("110513"), QStringLiteral("DCM"), QString(),
            QStringLiteral("Discontinued for unspecified reason")};
}

int PerformedStep::imageCount() const
{
    int count = 0;
    for (const PerformedSeries& s : series)
        count += static_cast<int>(s.images.size());
    return count;
}

namespace {

const QString kDateForm = QStringLiteral("yyyy-MM-dd");

QString dateText(const QDate& date)
{
    return date.isValid() ? date.toString(kDateForm) : QString();
}

QString timeText(const QTime& time)
{
    return time.isValid() ? time.toString(Qt::ISODateWithMs) : QString();
}

QJsonObject codeJson(const Code& c)
{
    return {{QStringLiteral("value"), c.value},
            {QStringLiteral("scheme"), c.scheme},
            {QStringLiteral("schemeVersion"), c.schemeVersion},
            {QStringLiteral("meaning"), c.meaning}};
}

QJsonArray codesJson(const std::vector<Code>& codes)
{
    QJsonArray array;
    for (const Code& c : codes)
        array.append(codeJson(c));
    return array;
}

QJsonObject scheduledJson(const ScheduledStudy& s)
{
    QJsonArray studies;
    for (const auto& [sopClass, instance] : s.referencedStudies)
        studies.append(QJsonArray{sopClass, instance});
    return {{QStringLiteral("studyUid"), s.studyUid},
            {QStringLiteral("referringPhysician"), s.referringPhysician},
            {QStringLiteral("referencedStudies"), studies},
            {QStringLiteral("requestedProcedureId"), s.requestedProcedureId},
            {QStringLiteral("requestedProcedureDescription"), s.requestedProcedureDescription},
            {QStringLiteral("requestedProcedureCodes"), codesJson(s.requestedProcedureCodes)},
            {QStringLiteral("stepId"), s.stepId},
            {QStringLiteral("stepDescription"), s.stepDescription},
            {QStringLiteral("protocolCodes"), codesJson(s.protocolCodes)}};
}

QJsonObject seriesJson(const PerformedSeries& s)
{
    QJsonArray images;
    for (const ImageReference& image : s.images)
        images.append(QJsonObject{{QStringLiteral("sopClassUid"), image.sopClassUid},
                                  {QStringLiteral("sopInstanceUid"), image.sopInstanceUid}});
    return {{QStringLiteral("seriesUid"), s.seriesUid},
            {QStringLiteral("description"), s.description},
            {QStringLiteral("protocolName"), s.protocolName},
            {QStringLiteral("retrieveAETitle"), s.retrieveAETitle},
            {QStringLiteral("performingPhysician"), s.performingPhysician},
            {QStringLiteral("operatorName"), s.operatorName},
            {QStringLiteral("images"), images}};
}

// Reads the fields of one object, refusing any that is missing or of the
// wrong type; `where` names the object in the reason.
class Fields {
public:
    Fields(QJsonObject object, QString where)
        : m_object(std::move(object))
        , m_where(std::move(where))
    {
    }

    QString text(const char* key) const { return value(key, QJsonValue::String).toString(); }
    QJsonArray array(const char* key) const { return value(key, QJsonValue::Array).toArray(); }
    QJsonObject object(const char* key) const { return value(key, QJsonValue::Object).toObject(); }
    bool has(const char* key) const { return m_object.contains(QLatin1String(key)); }

    QDate date(const char* key) const
    {
        const QString t = text(key);
        const QDate d = QDate::fromString(t, kDateForm);
        if (!t.isEmpty() && !d.isValid())
            refuse(QStringLiteral("\"%1\" in %2 is no date").arg(t, name(key)));
        return d;
    }

    QTime time(const char* key) const
    {
        const QString t = text(key);
        const QTime d = QTime::fromString(t, Qt::ISODateWithMs);
        if (!t.isEmpty() && !d.isValid())
            refuse(QStringLiteral("\"%1\" in %2 is no time").arg(t, name(key)));
        return d;
    }

    QString name(const char* key) const { return m_where + QLatin1Char('.') + QLatin1String(key); }

    [[noreturn]] static void refuse(const QString& reason)
    {
        throw Failure(QStringLiteral("The step cannot be read: %1.").arg(reason), Failure::Kind::Damaged);
    }

private:
    QJsonValue value(const char* key, QJsonValue::Type type) const
    {
        const QJsonValue v = m_object.value(QLatin1String(key));
        if (v.isUndefined())
            refuse(QStringLiteral("%1 is missing").arg(name(key)));
        if (v.type() != type)
            refuse(QStringLiteral("%1 is not what it must be").arg(name(key)));
        return v;
    }

    QJsonObject m_object;
    QString m_where;
};

QJsonObject objectAt(const QJsonArray& array, qsizetype i, const QString& where)
{
    if (!array.at(i).isObject())
        Fields::refuse(QStringLiteral("%1[%2] is not what it must be").arg(where).arg(i));
    return array.at(i).toObject();
}

Code codeFrom(const QJsonObject& o, const QString& where)
{
    const Fields f(o, where);
    return {f.text("value"), f.text("scheme"), f.text("schemeVersion"), f.text("meaning")};
}

std::vector<Code> codesFrom(const QJsonArray& array, const QString& where)
{
    std::vector<Code> codes;
    for (qsizetype i = 0; i < array.size(); ++i)
        codes.push_back(codeFrom(objectAt(array, i, where), QStringLiteral("%1[%2]").arg(where).arg(i)));
    return codes;
}

ScheduledStudy scheduledFrom(const QJsonObject& o)
{
    const Fields f(o, QStringLiteral("scheduled"));
    ScheduledStudy s;
    s.studyUid = f.text("studyUid");
    s.referringPhysician = f.text("referringPhysician");
    const QJsonArray studies = f.array("referencedStudies");
    for (qsizetype i = 0; i < studies.size(); ++i) {
        const QJsonArray pair = studies.at(i).toArray();
        if (pair.size() != 2 || !pair.at(0).isString() || !pair.at(1).isString())
            Fields::refuse(QStringLiteral("scheduled.referencedStudies[%1] is not what it must be").arg(i));
        s.referencedStudies.emplace_back(pair.at(0).toString(), pair.at(1).toString());
    }
    s.requestedProcedureId = f.text("requestedProcedureId");
    s.requestedProcedureDescription = f.text("requestedProcedureDescription");
    s.requestedProcedureCodes = codesFrom(f.array("requestedProcedureCodes"), f.name("requestedProcedureCodes"));
    s.stepId = f.text("stepId");
    s.stepDescription = f.text("stepDescription");
    s.protocolCodes = codesFrom(f.array("protocolCodes"), f.name("protocolCodes"));
    return s;
}

PerformedSeries seriesFrom(const QJsonObject& o, const QString& where)
{
    const Fields f(o, where);
    PerformedSeries s;
    s.seriesUid = f.text("seriesUid");
    s.description = f.text("description");
    s.protocolName = f.text("protocolName");
    s.retrieveAETitle = f.text("retrieveAETitle");
    s.performingPhysician = f.text("performingPhysician");
    s.operatorName = f.text("operatorName");
    const QJsonArray images = f.array("images");
    for (qsizetype i = 0; i < images.size(); ++i) {
        const QString at = QStringLiteral("%1.images[%2]").arg(where).arg(i);
        const Fields image(objectAt(images, i, f.name("images")), at);
        s.images.push_back({image.text("sopClassUid"), image.text("sopInstanceUid")});
    }
    return s;
}

StepStatus statusFrom(const QString& text)
{
    for (StepStatus s : {StepStatus::InProgress, StepStatus::Completed, StepStatus::Discontinued})
        if (statusText(s) == text)
            return s;
    Fields::refuse(QStringLiteral("\"%1\" is no step status").arg(text));
}

} // namespace

QJsonObject stepToJson(const PerformedStep& step)
{
    QJsonArray series;
    for (const PerformedSeries& s : step.series)
        series.append(seriesJson(s));
    QJsonObject o{{QStringLiteral("instanceUid"), step.instanceUid},
                  {QStringLiteral("stepId"), step.stepId},
                  {QStringLiteral("patient"),
                   QJsonObject{{QStringLiteral("name"), step.patient.name},
                               {QStringLiteral("id"), step.patient.id},
                               {QStringLiteral("birthDate"), dateText(step.patient.birthDate)},
                               {QStringLiteral("sex"), step.patient.sex}}},
                  {QStringLiteral("studyUid"), step.studyUid},
                  {QStringLiteral("accessionNumber"), step.accessionNumber},
                  {QStringLiteral("stationAETitle"), step.stationAETitle},
                  {QStringLiteral("stationName"), step.stationName},
                  {QStringLiteral("startDate"), dateText(step.startDate)},
                  {QStringLiteral("startTime"), timeText(step.startTime)},
                  {QStringLiteral("endDate"), dateText(step.endDate)},
                  {QStringLiteral("endTime"), timeText(step.endTime)},
                  {QStringLiteral("modality"), step.modality},
                  {QStringLiteral("studyId"), step.studyId},
                  {QStringLiteral("description"), step.description},
                  {QStringLiteral("series"), series},
                  {QStringLiteral("status"), statusText(step.status)}};
    if (step.scheduled)
        o.insert(QStringLiteral("scheduled"), scheduledJson(*step.scheduled));
    if (step.discontinuationReason)
        o.insert(QStringLiteral("discontinuationReason"), codeJson(*step.discontinuationReason));
    return o;
}

QByteArray stepToJsonBytes(const PerformedStep& step)
{
    return QJsonDocument(stepToJson(step)).toJson();
}

PerformedStep stepFromJson(const QJsonObject& o)
{
    const Fields f(o, QStringLiteral("step"));
    PerformedStep step;
    step.instanceUid = f.text("instanceUid");
    if (!isValidUid(step.instanceUid))
        Fields::refuse(QStringLiteral("\"%1\" is no SOP Instance UID").arg(step.instanceUid));
    step.stepId = f.text("stepId");
    const Fields patient(f.object("patient"), QStringLiteral("patient"));
    step.patient = {patient.text("name"), patient.text("id"), patient.date("birthDate"), patient.text("sex")};
    step.studyUid = f.text("studyUid");
    step.accessionNumber = f.text("accessionNumber");
    if (f.has("scheduled"))
        step.scheduled = scheduledFrom(f.object("scheduled"));
    step.stationAETitle = f.text("stationAETitle");
    step.stationName = f.text("stationName");
    step.startDate = f.date("startDate");
    step.startTime = f.time("startTime");
    step.endDate = f.date("endDate");
    step.endTime = f.time("endTime");
    step.modality = f.text("modality");
    step.studyId = f.text("studyId");
    step.description = f.text("description");
    const QJsonArray series = f.array("series");
    for (qsizetype i = 0; i < series.size(); ++i)
        step.series.push_back(seriesFrom(objectAt(series, i, QStringLiteral("step.series")),
                                         QStringLiteral("step.series[%1]").arg(i)));
    step.status = statusFrom(f.text("status"));
    if (f.has("discontinuationReason"))
        step.discontinuationReason = codeFrom(f.object("discontinuationReason"), QStringLiteral("discontinuationReason"));
    return step;
}

PerformedStep stepFromJson(const QByteArray& bytes)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError)
        Fields::refuse(QStringLiteral("it is not JSON (%1 at byte %2)").arg(error.errorString()).arg(error.offset));
    if (!document.isObject())
        Fields::refuse(QStringLiteral("it is no JSON object"));
    return stepFromJson(document.object());
}

} // namespace skiascan::dicom
