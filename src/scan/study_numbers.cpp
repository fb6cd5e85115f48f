#include "scan/study_numbers.h"

#include "common/durable_file.h"
#include "common/failure.h"
#include "common/private_files.h"
#include "common/program_log.h"

#include <QDate>
#include <QDir>
#include <QFileInfo>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>

namespace skiascan {

namespace {

constexpr int kKeptDays = 90;

QJsonObject readStudies(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QJsonDocument::fromJson(file.readAll()).object();
}

} // namespace

StudyNumbers::StudyNumbers(const QString& programFolder)
    : m_path(QDir(programFolder).filePath(QStringLiteral("Journal/studies.numbers")))
{
}

int StudyNumbers::last(const QString& studyUid) const
{
    return readStudies(m_path).value(studyUid).toObject().value(QStringLiteral("number")).toInt();
}

void StudyNumbers::note(const QString& studyUid, int number)
{
    QJsonObject studies = readStudies(m_path);
    const QString today = QDate::currentDate().toString(Qt::ISODate);
    const QString oldest = QDate::currentDate().addDays(-kKeptDays).toString(Qt::ISODate);
    for (auto it = studies.begin(); it != studies.end();)
        it = it.value().toObject().value(QStringLiteral("used")).toString() < oldest ? studies.erase(it) : std::next(it);
    const int highest = std::max(number, studies.value(studyUid).toObject().value(QStringLiteral("number")).toInt());
    studies.insert(studyUid, QJsonObject{{QStringLiteral("number"), highest}, {QStringLiteral("used"), today}});
    try {
        makePrivateFolder(QFileInfo(m_path).path());
        writeFileDurably(m_path, QJsonDocument(studies).toJson(QJsonDocument::Compact));
    } catch (const Failure& e) {
        programlog::event(QStringLiteral("journal: the numbers of study %1 could not be kept: %2")
                              .arg(studyUid, e.description()));
    }
}

} // namespace skiascan
