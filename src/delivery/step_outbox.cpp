#include "delivery/step_outbox.h"

#include "common/durable_file.h"
#include "common/failure.h"
#include "common/private_files.h"
#include "common/program_log.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <set>

namespace skiascan {

namespace {

const QString kStepSuffix = QStringLiteral(".step");

QString timeText(const QDateTime& time)
{
    return time.isValid() ? time.toString(Qt::ISODateWithMs) : QString();
}

} // namespace

QString StepEntry::stateText() const
{
    switch (step.status) {
    case dicom::StepStatus::InProgress:
        return QStringLiteral("step in progress");
    case dicom::StepStatus::Completed:
        return QStringLiteral("step completed, waiting for RIS");
    case dicom::StepStatus::Discontinued:
        return QStringLiteral("step discontinued, waiting for RIS");
    }
    return {};
}

QString StepEntry::logName() const
{
    return QStringLiteral("step %1 of %2 (%3)").arg(step.stepId, step.patient.name, step.patient.id);
}

QByteArray StepOutbox::toJson(const StepEntry& entry)
{
    const QJsonObject o{{QStringLiteral("step"), dicom::stepToJson(entry.step)},
                        {QStringLiteral("node"),
                         QJsonObject{{QStringLiteral("aeTitle"), entry.node.aeTitle},
                                     {QStringLiteral("host"), entry.node.host},
                                     {QStringLiteral("port"), entry.node.port}}},
                        {QStringLiteral("created"), entry.created},
                        {QStringLiteral("lastFailure"), entry.lastFailure},
                        {QStringLiteral("lastTried"), timeText(entry.lastTried)},
                        {QStringLiteral("opened"), timeText(entry.opened)}};
    return QJsonDocument(o).toJson();
}

StepEntry StepOutbox::fromJson(const QByteArray& bytes)
{
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (!document.isObject())
        throw Failure(QStringLiteral("it is not a step: %1").arg(error.errorString()), Failure::Kind::Damaged);
    const QJsonObject o = document.object();
    if (!o.value(QStringLiteral("step")).isObject() || !o.value(QStringLiteral("node")).isObject()
        || !o.value(QStringLiteral("created")).isBool())
        throw Failure(QStringLiteral("it lacks the step, its node or whether it was created"), Failure::Kind::Damaged);
    StepEntry entry;
    entry.step = dicom::stepFromJson(o.value(QStringLiteral("step")).toObject());
    const QJsonObject node = o.value(QStringLiteral("node")).toObject();
    entry.node = {node.value(QStringLiteral("aeTitle")).toString(), node.value(QStringLiteral("host")).toString(),
                  node.value(QStringLiteral("port")).toInt()};
    entry.created = o.value(QStringLiteral("created")).toBool();
    entry.lastFailure = o.value(QStringLiteral("lastFailure")).toString();
    entry.lastTried = QDateTime::fromString(o.value(QStringLiteral("lastTried")).toString(), Qt::ISODateWithMs);
    entry.opened = QDateTime::fromString(o.value(QStringLiteral("opened")).toString(), Qt::ISODateWithMs);
    return entry;
}

StepOutbox::StepOutbox(const Outbox& outbox)
    : m_outbox(outbox)
    , m_folder(QDir(outbox.folder()).filePath(QStringLiteral("steps")))
{
}

void StepOutbox::write(const StepEntry& entry)
{
    writeFileDurably(entry.path, toJson(entry));
}

bool StepOutbox::reread(StepEntry& entry) const
{
    QFile file(entry.path);
    if (!file.exists())
        return false;
    if (!file.open(QIODevice::ReadOnly))
        throw Failure(QStringLiteral("The step %1 cannot be read: %2").arg(entry.path, file.errorString()),
                      Failure::Kind::File);
    StepEntry current = fromJson(file.readAll());
    current.path = entry.path;
    entry = current;
    return true;
}

void StepOutbox::open(StepEntry& entry)
{
    const std::lock_guard lock(m_lock);
    entry.path = QDir(m_folder).filePath(entry.step.instanceUid + kStepSuffix);
    if (!entry.opened.isValid())
        entry.opened = QDateTime::currentDateTime();
    try {
        if (!makePrivateFolder(m_folder))
            throw Failure(QStringLiteral("the folder cannot be created"), Failure::Kind::File);
        write(entry);
    } catch (const Failure& e) {
        throw Failure(QStringLiteral("The step could not be kept in the outbox (%1): %2").arg(m_folder, e.description()),
                      Failure::Kind::File);
    }
}

std::vector<StepEntry> StepOutbox::read(QStringList* unreadable) const
{
    std::vector<StepEntry> list;
    const QDir dir(m_folder);
    for (const QString& name : dir.entryList({QLatin1Char('*') + kStepSuffix}, QDir::Files, QDir::Name)) {
        const QString path = dir.filePath(name);
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly)) {
            if (unreadable)
                unreadable->append(QStringLiteral("%1: %2").arg(path, file.errorString()));
            continue;
        }
        try {
            StepEntry entry = fromJson(file.readAll());
            if (entry.step.instanceUid + kStepSuffix != name)
                throw Failure(QStringLiteral("it holds the step %1").arg(entry.step.instanceUid), Failure::Kind::Damaged);
            entry.path = path;
            list.push_back(std::move(entry));
        } catch (const Failure& e) {
            // Nothing half-read goes to the RIS: the file waits aside for someone to look at it.
            const QDir damaged(dir.filePath(QStringLiteral("damaged")));
            makePrivateFolder(damaged.path());
            const bool moved = renameDurably(path, damaged.filePath(name));
            programlog::event(QStringLiteral("outbox: the step file %1 cannot be read (%2); %3")
                                  .arg(path, e.description(),
                                       moved ? QStringLiteral("moved to %1").arg(damaged.path())
                                             : QStringLiteral("it could not be moved aside")));
        }
    }
    std::stable_sort(list.begin(), list.end(), [](const StepEntry& a, const StepEntry& b) { return a.opened < b.opened; });
    return list;
}

std::vector<StepEntry> StepOutbox::entries(QStringList* unreadable) const
{
    const std::lock_guard lock(m_lock);
    return read(unreadable);
}

std::vector<StepEntry> StepOutbox::inProgress(const QString& studyUid) const
{
    std::vector<StepEntry> list = entries();
    std::erase_if(list, [&](const StepEntry& e) {
        return e.ended() || (!studyUid.isEmpty() && e.step.studyUid != studyUid);
    });
    return list;
}

int StepOutbox::count() const
{
    const std::lock_guard lock(m_lock);
    return static_cast<int>(QDir(m_folder).entryList({QLatin1Char('*') + kStepSuffix}, QDir::Files).size());
}

bool StepOutbox::refresh(StepEntry& entry) const
{
    const std::lock_guard lock(m_lock);
    try {
        return reread(entry);
    } catch (const Failure&) {
        return true; // it stays as it is: the next read finds out what is wrong
    }
}

bool StepOutbox::addSeries(StepEntry& entry, const dicom::PerformedSeries& series)
{
    const std::lock_guard lock(m_lock);
    if (!reread(entry) || entry.ended())
        return false;
    for (const dicom::PerformedSeries& listed : entry.step.series)
        for (const dicom::ImageReference& image : listed.images)
            for (const dicom::ImageReference& added : series.images)
                if (image.sopInstanceUid == added.sopInstanceUid)
                    return false;
    entry.step.series.push_back(series);
    write(entry);
    return true;
}

dicom::PerformedStep StepOutbox::finalForm(const dicom::PerformedStep& step) const
{
    dicom::PerformedStep final = step;
    for (dicom::PerformedSeries& series : final.series)
        std::erase_if(series.images,
                      [&](const dicom::ImageReference& image) { return m_outbox.removedByOperator(image.sopInstanceUid); });
    if (final.imageCount() > 0) {
        // A series whose every image was removed is not reported as made.
        std::erase_if(final.series, [](const dicom::PerformedSeries& s) { return s.images.empty(); });
        final.status = dicom::StepStatus::Completed;
        final.discontinuationReason.reset();
    } else {
        // The final state names at least one series: they stay, without images.
        final.status = dicom::StepStatus::Discontinued;
        final.discontinuationReason = dicom::imagesRemovedReason();
    }
    return final;
}

bool StepOutbox::end(StepEntry& entry, const QDateTime& at)
{
    const std::lock_guard lock(m_lock);
    if (!reread(entry) || entry.ended())
        return false;
    entry.step.endDate = at.date();
    entry.step.endTime = at.time();
    entry.step = finalForm(entry.step);
    write(entry);
    return true;
}

bool StepOutbox::waitsForReview(const StepEntry& entry) const
{
    std::set<QString> held;
    for (const OutboxEntry& image : m_outbox.entries())
        if (image.held)
            held.insert(image.instanceUid);
    for (const dicom::PerformedSeries& series : entry.step.series)
        for (const dicom::ImageReference& image : series.images)
            if (held.count(image.sopInstanceUid))
                return true;
    return false;
}

std::optional<dicom::PerformedStep> StepOutbox::finalToSend(StepEntry& entry)
{
    const std::lock_guard lock(m_lock);
    if (!reread(entry))
        return std::nullopt;
    const dicom::PerformedStep final = finalForm(entry.step);
    if (!(final == entry.step)) {
        const int before = entry.step.imageCount();
        entry.step = final;
        write(entry);
        programlog::event(QStringLiteral("MPPS: %1 reports %2 of its %3 images, the operator removed the others; it is %4")
                              .arg(entry.logName())
                              .arg(final.imageCount())
                              .arg(before)
                              .arg(dicom::statusText(final.status)));
    }
    return final;
}

bool StepOutbox::noteCreated(StepEntry& entry, bool created)
{
    const std::lock_guard lock(m_lock);
    if (!reread(entry))
        return false;
    if (entry.created != created) {
        entry.created = created;
        write(entry);
    }
    return true;
}

void StepOutbox::noteFailure(StepEntry& entry, const QString& failure)
{
    const std::lock_guard lock(m_lock);
    try {
        if (!reread(entry))
            return;
        entry.lastFailure = failure;
        entry.lastTried = QDateTime::currentDateTime();
        write(entry);
    } catch (const Failure& e) {
        programlog::event(QStringLiteral("outbox: the failure of %1 could not be noted: %2").arg(entry.path, e.description()));
    }
}

void StepOutbox::finished(const StepEntry& entry)
{
    const std::lock_guard lock(m_lock);
    if (!QFile::remove(entry.path) && QFileInfo::exists(entry.path)) {
        // It goes again at the next pass; the node answers that it may no
        // longer be updated, and it leaves then.
        programlog::event(QStringLiteral("outbox: the step file %1 could not be removed").arg(entry.path));
        return;
    }
    syncToDisk(m_folder);
}

void StepOutbox::tidy()
{
    const std::lock_guard lock(m_lock);
    const QDir dir(m_folder);
    if (!dir.exists())
        return;
    tightenFolder(m_folder);
    for (const QString& name : dir.entryList({QLatin1String(kTemporaryPrefix) + QLatin1Char('*')}, QDir::Files | QDir::Hidden)) {
        QFile::remove(dir.filePath(name));
        programlog::event(QStringLiteral("outbox: removed %1, a write cut short").arg(name));
    }
}

} // namespace skiascan
