#include "scan/scan_journal.h"

#include "common/durable_file.h"
#include "common/private_files.h"
#include "common/failure.h"
#include "common/program_log.h"

#include <QDir>
#include <QFile>
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

bool isUid(const QString& text)
{
    if (text.isEmpty() || text.size() > 64)
        return false;
    return std::all_of(text.begin(), text.end(), [](QChar c) { return c.isDigit() || c == QLatin1Char('.'); });
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
    const QJsonObject numbering{{QStringLiteral("studyUid"), n.studyUid},
                                {QStringLiteral("studyTime"), n.studyTime},
                                {QStringLiteral("seriesUid"), n.seriesUid},
                                {QStringLiteral("instanceUid"), n.instanceUid},
                                {QStringLiteral("number"), n.number}};
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
    const int number = numbering.value(QStringLiteral("number")).toInt(0);
    if (f.scanFile.isEmpty() || !isUid(f.numbering.studyUid) || !isUid(f.numbering.seriesUid)
        || !isUid(f.numbering.instanceUid) || number < 1 || number > 32767)
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
