#include "session/performed_steps.h"

#include "common/dates.h"
#include "common/failure.h"
#include "common/program_log.h"
#include "dicom/image_attributes.h"
#include "dicom/uid_generator.h"

#include <QFileInfo>
#include <QLocale>

#include <algorithm>

namespace skiascan {

namespace {

const QString kSecondaryCapture = QStringLiteral("1.2.840.10008.5.1.4.1.1.7");

QString imagesOf(const dicom::PerformedStep& step)
{
    QStringList uids;
    for (const dicom::PerformedSeries& series : step.series)
        for (const dicom::ImageReference& image : series.images)
            uids << image.sopInstanceUid;
    return uids.join(QStringLiteral(", "));
}

} // namespace

std::optional<Node> stepNodeOf(const MppsSettings& mpps)
{
    if (!mpps.enabled)
        return std::nullopt;
    Node node;
    node.row = -1;
    node.aeTitle = mpps.aeTitle.trimmed();
    node.host = mpps.host.trimmed();
    node.port = mpps.port;
    node.options.tls = mpps.tls;
    QStringList missing;
    if (node.aeTitle.isEmpty())
        missing << QStringLiteral("AE title");
    if (node.host.isEmpty())
        missing << QStringLiteral("address");
    if (node.port == 0)
        missing << QStringLiteral("port");
    if (!missing.isEmpty())
        node.problem = QStringLiteral("The MPPS node has no %1 in the Preferences (More..., MPPS).")
                           .arg(missing.join(QStringLiteral(", ")));
    return node;
}

PerformedSteps::PerformedSteps(DeliveryService& delivery, std::function<QString()> currentStudy)
    : m_delivery(delivery)
    , m_currentStudy(std::move(currentStudy))
{
    m_check.setSingleShot(true);
    m_check.setInterval(0);
    QObject::connect(&m_check, &QTimer::timeout, &m_check, [this] { checkStudy(); });
}

std::optional<Node> PerformedSteps::configure(const Settings& settings, const Options& options)
{
    const std::optional<Node> node = stepNodeOf(options.mpps);
    m_station.enabled = node.has_value();
    m_station.node = node ? node->id() : NodeId{};
    m_station.aeTitle = settings.LocalAET.trimmed();
    m_station.name = settings.ScheduledStation.trimmed();
    const std::vector<Node> nodes = configuredNodes(settings.remoteNodes(), options.nodes);
    m_station.retrieveAETitle = nodes.empty() ? QString() : nodes.front().aeTitle;
    return node;
}

dicom::PerformedSeries PerformedSteps::seriesOf(const FilmRecord& film) const
{
    dicom::PerformedSeries series;
    series.seriesUid = film.numbering.seriesUid;
    series.description = film.study.seriesDescription;
    series.retrieveAETitle = m_station.retrieveAETitle;
    series.images = {{kSecondaryCapture, film.numbering.instanceUid}};
    return series;
}

// The step as the film's image carries the study: its patient, its study and
// Study ID, and the order of a scheduled study.
StepEntry PerformedSteps::newStep(const FilmRecord& film) const
{
    const dicom::StudyRecord& record = film.study;
    const std::optional<dicom::ScheduledStudy>& order = film.numbering.scheduled;
    const QDateTime now = QDateTime::currentDateTime();
    const QDateTime start = film.started.isValid() ? film.started : now;
    StepEntry entry;
    dicom::PerformedStep& step = entry.step;
    step.instanceUid = dicom::UidGenerator().newUid();
    step.stepId = now.toString(QStringLiteral("yyMMddHHmmsszzz")); // 15 digits, one step per film at most
    step.patient.name = dicom::patientNameOf(record.lastName, record.firstName, record.middleName);
    step.patient.id = record.patientId;
    step.patient.birthDate = parseDate(record.birthDate, QLocale()).value_or(QDate());
    step.patient.sex = record.sex;
    step.studyUid = film.numbering.studyUid;
    step.accessionNumber = record.accessionNumber;
    step.scheduled = order;
    step.stationAETitle = m_station.aeTitle;
    step.stationName = m_station.name;
    step.startDate = start.date();
    step.startTime = start.time();
    step.studyId = order && !order->requestedProcedureId.isEmpty() ? order->requestedProcedureId : QStringLiteral("1");
    step.description = !record.studyDescription.isEmpty() ? record.studyDescription
                       : order                            ? order->requestedProcedureDescription
                                                          : QString();
    step.series = {seriesOf(film)};
    entry.node = m_station.node;
    return entry;
}

void PerformedSteps::filmKept(const FilmRecord& film)
{
    const QString study = film.numbering.studyUid;
    // A film of another study: the open step's study has ended, whether or
    // not the event loop has told yet.
    if (m_open && m_open->step.studyUid != study) {
        end(*m_open, QStringLiteral("its study ended"));
        m_open.reset();
        m_check.stop();
    }
    StepOutbox& steps = m_delivery.steps();
    try {
        std::vector<StepEntry> open = steps.inProgress(study);
        if (!open.empty()) {
            StepEntry entry = open.back();
            if (steps.addSeries(entry, seriesOf(film))) {
                programlog::event(QStringLiteral("MPPS: %1: image %2 added, %3 in all")
                                      .arg(entry.logName(), film.numbering.instanceUid)
                                      .arg(entry.step.imageCount()));
                m_delivery.stepsChanged();
            }
            m_open = entry;
            return;
        }
        if (!m_station.enabled)
            return;
        StepEntry entry = newStep(film);
        steps.open(entry);
        programlog::event(QStringLiteral("MPPS: %1 created, IN PROGRESS, for study %2 (%3) with image %4; owed to %5")
                              .arg(entry.logName(), study,
                                   film.numbering.scheduled
                                       ? QStringLiteral("scheduled: %1").arg(film.numbering.scheduled->label())
                                       : QStringLiteral("made here, unscheduled"),
                                   film.numbering.instanceUid, entry.node.name()));
        m_open = entry;
        m_delivery.stepsChanged();
    } catch (const Failure& e) {
        programlog::event(QStringLiteral("MPPS: the step of study %1 could not be written for image %2: %3")
                              .arg(study, film.numbering.instanceUid, e.description()));
    }
}

void PerformedSteps::studyMayHaveEnded()
{
    if (m_open)
        m_check.start();
}

void PerformedSteps::checkStudy()
{
    if (!m_open || m_currentStudy() == m_open->step.studyUid)
        return;
    end(*m_open, QStringLiteral("its study ended"));
    m_open.reset();
}

void PerformedSteps::programEnds(const std::vector<FilmRecord>& journal, const std::optional<FilmRecord>& underWay)
{
    m_check.stop();
    if (!m_open)
        return;
    const QString study = m_open->step.studyUid;
    // The film under way stays in the journal and its scanner is left alone:
    // it comes. Of the other entries, one whose file never came and whose
    // scanner has gone holds no film and keeps nothing open.
    const bool filmComing = (underWay && underWay->numbering.studyUid == study)
        || std::any_of(journal.begin(), journal.end(), [&](const FilmRecord& film) {
               return film.numbering.studyUid == study && (QFileInfo::exists(film.scanFile) || scannerStillWorksOn(film));
           });
    if (filmComing)
        programlog::event(QStringLiteral("MPPS: %1 stays in progress: a film of its study is still in the scanner; it "
                                         "ends at the next start")
                              .arg(m_open->logName()));
    else
        end(*m_open, QStringLiteral("Skiascan ends"));
    m_open.reset();
}

void PerformedSteps::endLeftOver()
{
    m_check.stop();
    m_open.reset();
    try {
        for (StepEntry& entry : m_delivery.steps().inProgress())
            end(entry, QStringLiteral("it was in progress when Skiascan last ended"));
    } catch (const Failure& e) {
        programlog::event(QStringLiteral("MPPS: the steps left in progress could not be read: %1").arg(e.description()));
    }
}

void PerformedSteps::end(StepEntry& entry, const QString& why)
{
    const QString made = imagesOf(entry.step);
    try {
        if (!m_delivery.steps().end(entry, QDateTime::currentDateTime()))
            return;
    } catch (const Failure& e) {
        programlog::event(QStringLiteral("MPPS: %1 could not be ended (%2): %3; it ends at the next start")
                              .arg(entry.logName(), why, e.description()));
        return;
    }
    if (entry.step.status == dicom::StepStatus::Discontinued)
        programlog::event(QStringLiteral("MPPS: %1 discontinued (%2): the operator removed every image of it (%3)")
                              .arg(entry.logName(), why, made));
    else
        programlog::event(QStringLiteral("MPPS: %1 completed (%2) with %3 image(s): %4")
                              .arg(entry.logName(), why)
                              .arg(entry.step.imageCount())
                              .arg(imagesOf(entry.step)));
    m_delivery.stepsChanged();
}

} // namespace skiascan
