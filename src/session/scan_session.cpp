// The scan session: the study, and the single scan and the stack from the
// click to the start of each film.

#include "session/scan_session.h"

#include "common/dates.h"
#include "common/failure.h"
#include "common/program_log.h"
#include "common/text.h"
#include "dicom/image.h"
#include "dicom/uid_generator.h"
#include "scan/film_image.h"
#include "scan/scan_commands.h"
#include "scan/scan_journal.h"
#include "scan/study_numbers.h"

#include <QDate>
#include <QFileInfo>
#include <QLocale>
#include <QProcess>
#include <QTime>

namespace skiascan {

namespace {

} // namespace

ScanSession::ScanSession(const QString& programFolder, SessionOperator& op, QObject* parent)
    : QObject(parent)
    , m_programFolder(programFolder)
    , m_operator(op)
    , m_uids(std::make_unique<dicom::UidGenerator>())
    , m_delivery(programFolder)
    , m_steps(m_delivery, [this] { return m_study.studyUid; })
    , m_review(m_delivery)
{
    connect(&m_review, &FilmReview::heldChanged, this, &ScanSession::outboxChanged);
    connect(&m_review, &FilmReview::failed, this,
            [this](const QString&, const QString& text) { tell(SessionOperator::Severity::Critical, text); });
    m_askTimer.setSingleShot(true);
    connect(&m_askTimer, &QTimer::timeout, this, &ScanSession::askToEnd);
    connect(&m_scanner, &ScannerRun::started, this, &ScanSession::scannerStarted);
    connect(&m_scanner, &ScannerRun::scannerEnded, this, &ScanSession::scannerEnded);
    connect(&m_scanner, &ScannerRun::failedToStart, this, [this](const QString& reason) {
        scanFailed(Failure(QStringLiteral("The program %1 cannot be started: %2").arg(m_settings.ScanApp, reason),
                           Failure::Kind::Scanner));
    });
    connect(&m_scanner, &ScannerRun::fileReady, this, [this] {
        if (m_flow == SessionFlow::Recovery)
            recoveredFileReady();
        else
            importFilm();
    });
    connect(&m_scanner, &ScannerRun::noFile, this, [this](int exitCode) {
        if (m_flow == SessionFlow::Recovery)
            recoveredFileGone();
        else
            noFilmCame(exitCode);
    });
    connect(&m_scanner, &ScannerRun::waitingForScanner, this, [this](bool waiting) {
        m_waitingForScanner = waiting;
        emit stateChanged();
    });
}

ScanSession::~ScanSession()
{
    // A film not yet safe stays in the journal and is imported at the next start.
    m_task.stop();
    m_scanner.release();
}

void ScanSession::setTiming(const Timing& timing)
{
    m_timing = timing;
    m_scanner.setTiming({timing.tick, timing.noFile});
}

void ScanSession::setSettings(const Settings& settings)
{
    m_settings = settings;
    configureDelivery();
}

void ScanSession::setConfiguration(const Settings& settings, const Options& options)
{
    m_settings = settings;
    m_options = options;
    configureDelivery();
}

void ScanSession::setNetworkTimeouts(const dicom::NetworkTimeouts& timeouts)
{
    m_timeouts = timeouts;
    configureDelivery();
}

void ScanSession::setState(SessionState state)
{
    m_state = state;
    emit stateChanged();
}

QString ScanSession::activity() const
{
    if (m_end != EndRequest::None && m_flow != SessionFlow::None && m_flow != SessionFlow::Recovery)
        return QStringLiteral("Skiascan ends after the film");
    if (m_flow == SessionFlow::Recovery && m_film) {
        if (m_state == SessionState::HandingOver)
            return QStringLiteral("Keeping the film from the last session");
        if (m_waitingForScanner)
            return QStringLiteral("Waiting for the scanner to finish the film from the last session");
        return QStringLiteral("Importing the film from the last session");
    }
    const int film = m_film ? m_film->film : 1;
    const int films = m_film ? m_film->films : 1;
    const QString which = films > 1 ? QStringLiteral(" %1 of %2").arg(film).arg(films) : QString();
    switch (m_state) {
    case SessionState::Idle:
    case SessionState::Ended:
        return {};
    case SessionState::Scanning:
    case SessionState::WaitingForFile:
        return QStringLiteral("Scanning film") + which;
    case SessionState::Importing:
        return QStringLiteral("Importing film") + which;
    case SessionState::HandingOver:
        return QStringLiteral("Keeping film") + which;
    }
    return {};
}

// The patient as people read the name: "Smith, John (4711)".
QString ScanSession::patientOf(const FilmRecord& film) const
{
    return QStringLiteral("%1 (%2)").arg(
        personName(dicom::patientNameOf(film.study.lastName, film.study.firstName, film.study.middleName)),
        film.study.patientId);
}

void ScanSession::openStudy()
{
    const QLocale locale;
    m_study.studyTime = locale.toString(QTime::currentTime(), regionalTimeFormat(locale));
    m_study.studyUid = m_uids->newUid();
    m_study.scheduled.reset();
    m_steps.studyMayHaveEnded();
}

void ScanSession::useScheduledStudy(const dicom::ScheduledStudy& scheduled)
{
    openStudy();
    if (!scheduled.studyUid.isEmpty())
        m_study.studyUid = scheduled.studyUid;
    m_study.scheduled = scheduled;
    programlog::event(QStringLiteral("scheduled study %1%2").arg(
        m_study.studyUid, scheduled.label().isEmpty() ? QString() : QStringLiteral(": ") + scheduled.label()));
    emit stateChanged();
}

void ScanSession::closeStudy()
{
    m_study.studyUid.clear();
    m_steps.studyMayHaveEnded();
    if (m_study.scheduled) {
        m_study.scheduled.reset();
        programlog::event(QStringLiteral("the scheduled study ends; the next film starts a study of its own"));
        emit stateChanged();
    }
}

void ScanSession::studyFieldEdited()
{
    if (!m_study.scheduled)
        closeStudy();
}

void ScanSession::restoreStudy(const QString& studyUid, const std::optional<dicom::ScheduledStudy>& scheduled)
{
    m_study.studyUid = studyUid;
    m_study.scheduled = scheduled;
    if (scheduled)
        emit stateChanged();
}

// ------------------------------------------------------------------ scanning

bool ScanSession::beginScan(const dicom::StudyRecord& record, SessionFlow flow)
{
    if (m_state != SessionState::Idle)
        return false;
    m_record = record;
    m_flow = flow;
    m_aborted = false;
    m_end = EndRequest::None;
    m_filmsImported = 0;
    return true;
}

bool ScanSession::scanSingle(const dicom::StudyRecord& record)
{
    if (!beginScan(record, SessionFlow::Single))
        return false;
    try {
        checkImageFolder(m_settings.ImageFolder);
    } catch (const std::exception& e) {
        scanFailed(e);
        return true;
    }
    startFilm(1, 1);
    return true;
}

bool ScanSession::scanStack(const dicom::StudyRecord& record, int films)
{
    if (!beginScan(record, SessionFlow::Stack))
        return false;
    programlog::event(QStringLiteral("stack of %1 films started").arg(films));
    m_stack.emplace(films, isScannerProgram(m_settings.ScanApp));
    try {
        if (films > 0)
            checkImageFolder(m_settings.ImageFolder);
    } catch (const std::exception& e) {
        scanFailed(e);
        return true;
    }
    if (!m_stack->next()) {
        endScan();
        return true;
    }
    startFilm(m_stack->film(), m_stack->count());
    return true;
}

// The next film: its file name and its identity, recorded in the scan journal
// before the scanner starts, so that a crash cannot orphan it.
void ScanSession::startFilm(int film, int films)
{
    setState(SessionState::Scanning);
    const QString scanFile = m_scanFileNames.next(m_settings.ImageFolder, QDateTime::currentDateTime());
    if (scanFile.isEmpty()) {
        // Two films within one second would share a name: the next second
        // gives this one its own.
        if (++m_nameTries > 5) {
            m_nameTries = 0;
            scanFailed(Failure(QStringLiteral("No free file name for the scan in %1.").arg(m_settings.ImageFolder),
                               Failure::Kind::Scanner));
            return;
        }
        QTimer::singleShot(1001 - QTime::currentTime().msec(), this, [this, film, films] {
            if (m_state != SessionState::Scanning || m_film)
                return;
            if (m_end != EndRequest::None)
                endScan(); // Quit came before the scanner started
            else
                startFilm(film, films);
        });
        return;
    }
    m_nameTries = 0;
    FilmRecord record;
    record.scanFile = scanFile;
    record.study = m_record;
    record.numbering = numberFilm(m_study, *m_uids, QTime::currentTime());
    if (record.numbering.scheduled && record.numbering.studyUid == record.numbering.scheduled->studyUid) {
        // The worklist's study may have images of this station from an
        // earlier pick of the order, or an earlier run: the numbers go on.
        StudyNumbers numbers(m_programFolder);
        const int next = std::min(numbers.last(record.numbering.studyUid) + 1, 32767);
        record.numbering.number = static_cast<qint16>(std::max<int>(record.numbering.number, next));
        numbers.note(record.numbering.studyUid, record.numbering.number);
    }
    record.film = film;
    record.films = films;
    record.started = QDateTime::currentDateTime();
    try {
        ScanJournal(m_programFolder).write(record);
    } catch (const std::exception& e) {
        scanFailed(e);
        return;
    }
    m_film = record;
    m_lastScanFile = scanFile;
    programlog::event(QStringLiteral("film %1 of %2 for %3: %4").arg(film).arg(films).arg(patientOf(record), scanFile));
    emit stateChanged();
    startScanner();
}

} // namespace skiascan
