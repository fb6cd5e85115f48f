#include "scan/scan_journal.h"

#include "common/durable_file.h"
#include "common/private_files.h"
#include "common/failure.h"
#include "common/program_log.h"
#include "dicom/image_attributes.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>

namespace skiascan {

namespace {

// The study record's fields under their names in an entry.
struct RecordField {
    const char* name;
    QString dicom::StudyRecord::*member;
};
constexpr RecordField kRecordFields[] = {
    {"lastName", &dicom::StudyRecord::lastName},
    {"firstName", &dicom::StudyRecord::firstName},
    {"middleName", &dicom::StudyRecord::middleName},
    {"patientId", &dicom::StudyRecord::patientId},
    {"birthDate", &dicom::StudyRecord::birthDate},
    {"sex", &dicom::StudyRecord::sex},
    {"studyDate", &dicom::StudyRecord::studyDate},
    {"studyDescription", &dicom::StudyRecord::studyDescription},
    {"seriesDescription", &dicom::StudyRecord::seriesDescription},
    {"accessionNumber", &dicom::StudyRecord::accessionNumber},
    {"bodyPart", &dicom::StudyRecord::bodyPart},
    {"windowCenter", &dicom::StudyRecord::windowCenter},
    {"windowWidth", &dicom::StudyRecord::windowWidth},
};

// The order a film of a scheduled study carries, so that a film recovered after
// a crash carries it too.
QJsonArray codesJson(const std::vector<dicom::Code>& codes)
{
    QJsonArray array;
    for (const dicom::Code& c : codes)
        array.append(QJsonObject{{QStringLiteral("value"), c.value},
                                 {QStringLiteral("scheme"), c.scheme},
                                 {QStringLiteral("schemeVersion"), c.schemeVersion},
                                 {QStringLiteral("meaning"), c.meaning}});
    return array;
}

QJsonObject scheduledJson(const dicom::ScheduledStudy& s)
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

// Read back by the rule the worklist answer was read by: what an image
// cannot carry is left out.
std::vector<dicom::Code> codesFromJson(const QJsonValue& value)
{
    std::vector<dicom::Code> codes;
    for (const QJsonValue& v : value.toArray()) {
        const QJsonObject o = v.toObject();
        codes.push_back({o.value(QStringLiteral("value")).toString(), o.value(QStringLiteral("scheme")).toString(),
                         o.value(QStringLiteral("schemeVersion")).toString(), o.value(QStringLiteral("meaning")).toString()});
    }
    return codes;
}

dicom::ScheduledStudy scheduledFromJson(const QJsonObject& o)
{
    dicom::ScheduledStudy s;
    const auto text = [&o](const char* key) { return o.value(QLatin1String(key)).toString(); };
    s.studyUid = text("studyUid");
    s.referringPhysician = text("referringPhysician");
    for (const QJsonValue& v : o.value(QStringLiteral("referencedStudies")).toArray())
        s.referencedStudies.emplace_back(v.toArray().at(0).toString(), v.toArray().at(1).toString());
    s.requestedProcedureId = text("requestedProcedureId");
    s.requestedProcedureDescription = text("requestedProcedureDescription");
    s.requestedProcedureCodes = codesFromJson(o.value(QStringLiteral("requestedProcedureCodes")));
    s.stepId = text("stepId");
    s.stepDescription = text("stepDescription");
    s.protocolCodes = codesFromJson(o.value(QStringLiteral("protocolCodes")));
    return dicom::carriedPart(s);
}

} // namespace

ScanJournal::ScanJournal(const QString& programFolder)
    : m_folder(QDir(programFolder).filePath(QStringLiteral("Journal")))
{
}

QString ScanJournal::entryPath(const FilmRecord& film) const
{
    return QDir(m_folder).filePath(film.numbering.instanceUid + QStringLiteral(".json"));
}

QByteArray ScanJournal::toJson(const FilmRecord& film)
{
    QJsonObject record;
    for (const RecordField& field : kRecordFields)
        record.insert(QLatin1String(field.name), film.study.*field.member);
    const dicom::ImageNumbering& n = film.numbering;
    QJsonObject numbering{{QStringLiteral("studyUid"), n.studyUid},
                          {QStringLiteral("studyTime"), n.studyTime},
                          {QStringLiteral("seriesUid"), n.seriesUid},
                          {QStringLiteral("instanceUid"), n.instanceUid},
                          {QStringLiteral("number"), n.number}};
    if (n.scheduled)
        numbering.insert(QStringLiteral("scheduled"), scheduledJson(*n.scheduled));
    const QJsonObject entry{{QStringLiteral("scanFile"), film.scanFile},
                            {QStringLiteral("started"), film.started.toString(Qt::ISODateWithMs)},
                            {QStringLiteral("film"), film.film},
                            {QStringLiteral("films"), film.films},
                            {QStringLiteral("scannerProcess"), film.scannerProcess},
                            {QStringLiteral("record"), record},
                            {QStringLiteral("numbering"), numbering}};
    return QJsonDocument(entry).toJson();
}

bool ScanJournal::fromJson(const QByteArray& bytes, FilmRecord& film)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return false;
    const QJsonObject entry = document.object();
    const QJsonObject record = entry.value(QStringLiteral("record")).toObject();
    const QJsonObject numbering = entry.value(QStringLiteral("numbering")).toObject();
    FilmRecord f;
    f.scanFile = entry.value(QStringLiteral("scanFile")).toString();
    f.started = QDateTime::fromString(entry.value(QStringLiteral("started")).toString(), Qt::ISODateWithMs);
    f.film = entry.value(QStringLiteral("film")).toInt(1);
    f.films = entry.value(QStringLiteral("films")).toInt(1);
    f.scannerProcess = entry.value(QStringLiteral("scannerProcess")).toInteger(0);
    for (const RecordField& field : kRecordFields)
        f.study.*field.member = record.value(QLatin1String(field.name)).toString();
    f.numbering.studyUid = numbering.value(QStringLiteral("studyUid")).toString();
    f.numbering.studyTime = numbering.value(QStringLiteral("studyTime")).toString();
    f.numbering.seriesUid = numbering.value(QStringLiteral("seriesUid")).toString();
    f.numbering.instanceUid = numbering.value(QStringLiteral("instanceUid")).toString();
    if (numbering.value(QStringLiteral("scheduled")).isObject())
        f.numbering.scheduled = scheduledFromJson(numbering.value(QStringLiteral("scheduled")).toObject());
    const int number = numbering.value(QStringLiteral("number")).toInt(0);
    if (f.scanFile.isEmpty() || !dicom::isValidUid(f.numbering.studyUid) || !dicom::isValidUid(f.numbering.seriesUid)
        || !dicom::isValidUid(f.numbering.instanceUid) || number < 1 || number > 32767)
        return false;
    f.numbering.number = static_cast<qint16>(number);
    film = f;
    return true;
}

void ScanJournal::write(const FilmRecord& film)
{
    if (!makePrivateFolder(m_folder))
        throw Failure(QStringLiteral("The scan journal folder %1 cannot be created.").arg(QDir::toNativeSeparators(m_folder)),
                      Failure::Kind::File);
    writeFileDurably(entryPath(film), toJson(film));
}

void ScanJournal::remove(const FilmRecord& film)
{
    const QString path = entryPath(film);
    if (QFile::exists(path) && !QFile::remove(path))
        programlog::event(QStringLiteral("journal: cannot remove %1").arg(path));
}

std::vector<FilmRecord> ScanJournal::films() const
{
    std::vector<FilmRecord> films;
    const QDir dir(m_folder);
    for (const QString& name : dir.entryList({QStringLiteral(".writing-*")}, QDir::Files | QDir::Hidden)) {
        QFile::remove(dir.filePath(name));
        programlog::event(QStringLiteral("journal: removed an unfinished entry %1").arg(name));
    }
    for (const QString& name : dir.entryList({QStringLiteral("*.json")}, QDir::Files, QDir::Name)) {
        QFile file(dir.filePath(name));
        if (!file.open(QIODevice::ReadOnly)) {
            programlog::event(QStringLiteral("journal: cannot read %1: %2").arg(name, file.errorString()));
            continue;
        }
        FilmRecord film;
        if (!fromJson(file.readAll(), film)) {
            file.close();
            makePrivateFolder(dir.filePath(QStringLiteral("damaged")));
            renameDurably(dir.filePath(name), dir.filePath(QStringLiteral("damaged/") + name));
            programlog::event(QStringLiteral("journal: %1 cannot be read and was moved to damaged/").arg(name));
            continue;
        }
        films.push_back(film);
    }
    std::sort(films.begin(), films.end(),
              [](const FilmRecord& a, const FilmRecord& b) { return a.started < b.started; });
    return films;
}

} // namespace skiascan
