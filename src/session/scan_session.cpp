// The scan session: the study, the single scan and the stack from the click to
// the import, and the end of the program during a scan.

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

#include <QDate>
#include <QFileInfo>
#include <QLocale>
#include <QProcess>
#include <QTime>

namespace skiascan {

namespace {

bool isTooSmall(const std::exception_ptr& failure)
{
    try {
        std::rethrow_exception(failure);
    } catch (const FilmTooSmall&) {
        return true;
    } catch (...) {
        return false;
    }
}

} // namespace

ScanSession::ScanSession(const QString& programFolder, SessionOperator& op, QObject* parent)
    : QObject(parent)
    , m_programFolder(programFolder)
    , m_operator(op)
    , m_uids(std::make_unique<dicom::UidGenerator>())
    , m_delivery(programFolder)
{
    TimerScan.setObjectName(QStringLiteral("TimerScan"));
    connect(&TimerScan, &QTimer::timeout, this, &ScanSession::TimerScan_Timer);
    m_askTimer.setSingleShot(true);
    connect(&m_askTimer, &QTimer::timeout, this, &ScanSession::askToEnd);
}

ScanSession::~ScanSession()
{
    // A film not yet safe stays in the journal and is imported at the next start.
    m_task.stop();
    releaseScanner();
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

QString ScanSession::patientOf(const FilmRecord& film) const
{
    return QStringLiteral("%1 (%2)").arg(
        dicom::patientNameOf(film.study.lastName, film.study.firstName, film.study.middleName), film.study.patientId);
}

void ScanSession::NewStudy()
{
    const QLocale locale;
    m_study.studyTime = locale.toString(QTime::currentTime(), regionalTimeFormat(locale));
    m_study.studyUid = m_uids->newUid();
    m_study.scheduled.reset();
}

void ScanSession::useScheduledStudy(const dicom::ScheduledStudy& scheduled)
{
    NewStudy();
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

// Runs the scanner for the film, or copies the test image in test mode.
void ScanSession::startScanner()
{
    if (!isScannerProgram(m_settings.ScanApp)) {
        try {
            copyTestImage(m_programFolder, m_film->scanFile);
        } catch (const std::exception& e) {
            scanFailed(e);
            return;
        }
        waitForFile();
        return;
    }
    if (m_settings.ScanApp.isEmpty()) {
        scanFailed(Failure(QStringLiteral("No program to start: the scanning application is empty."), Failure::Kind::Scanner));
        return;
    }
    const FilmPlace place = m_stack ? m_stack->place(m_filmsInFeeder) : FilmPlace::Single;
    const QStringList arguments = scanArguments(place, m_film->scanFile, m_settings.Parameters);
    programlog::event(QStringLiteral("scanner started: %1").arg(commandLineText(m_settings.ScanApp, arguments)));
    m_scanner = new QProcess(this);
    m_scanner->setProgram(m_settings.ScanApp);
    m_scanner->setArguments(arguments);
    m_scanner->setStandardInputFile(QProcess::nullDevice());
    m_scanner->setStandardOutputFile(QProcess::nullDevice());
    m_scanner->setStandardErrorFile(QProcess::nullDevice());
    connect(m_scanner, &QProcess::started, this, &ScanSession::scannerStarted);
    connect(m_scanner, &QProcess::finished, this, [this](int exitCode, QProcess::ExitStatus status) {
        scannerFinished(status == QProcess::NormalExit ? exitCode : -1);
    });
    connect(m_scanner, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            scannerFailedToStart();
    });
    m_scanner->start();
}

void ScanSession::scannerStarted()
{
    if (!m_film || !m_scanner)
        return;
    m_film->scannerProcess = m_scanner->processId();
    try {
        ScanJournal(m_programFolder).write(*m_film);
    } catch (const std::exception& e) {
        programlog::event(describe(e)); // the entry without the process id stays
    }
}

void ScanSession::scannerFailedToStart()
{
    const QString reason = m_scanner->errorString();
    m_scanner->deleteLater();
    m_scanner = nullptr;
    scanFailed(Failure(QStringLiteral("The program %1 cannot be started: %2").arg(m_settings.ScanApp, reason),
                       Failure::Kind::Scanner));
}

void ScanSession::scannerFinished(int exitCode)
{
    m_scanner->deleteLater();
    m_scanner = nullptr;
    m_scannerExit = exitCode;
    programlog::event(QStringLiteral("scanner ended with exit code %1: %2").arg(exitCode).arg(m_film->scanFile));
    waitForFile();
}

void ScanSession::waitForFile()
{
    setState(SessionState::WaitingForFile);
    m_sinceScannerEnded.start();
    m_watch.watch(m_film->scanFile);
    TimerScan.start(m_timing.tick);
}

// One look at the scan file. It is imported once a later look finds it
// unchanged; a scanner that ended without leaving a file is not waited for
// beyond a few seconds.
void ScanSession::TimerScan_Timer()
{
    if (!m_film || m_state != SessionState::WaitingForFile) {
        TimerScan.stop();
        return;
    }
    if (m_flow == SessionFlow::Recovery) {
        checkRecoveryFilm();
        return;
    }
    if (m_watch.ready()) {
        // Stopped before the import, so that no tick can start a second one.
        TimerScan.stop();
        ImageImport();
        return;
    }
    if (!QFileInfo::exists(m_film->scanFile) && m_sinceScannerEnded.hasExpired(m_timing.noFile.count())) {
        TimerScan.stop();
        noFilmCame();
    }
}

// The scanner has ended and its file has not come. Its journal entry stays:
// a file that still comes is imported at the next start.
void ScanSession::noFilmCame()
{
    const FilmRecord film = *m_film;
    programlog::event(QStringLiteral("the scanner ended with exit code %1 without writing %2; it is looked for "
                                     "at the next start")
                          .arg(m_scannerExit)
                          .arg(film.scanFile));
    m_film.reset();
    m_aborted = true;
    if (m_flow == SessionFlow::Stack && m_filmsImported > 0) {
        tell(SessionOperator::Severity::Information,
             QStringLiteral("The scanner delivered no film %1; the stack ended after film %2.")
                 .arg(film.film)
                 .arg(film.film - 1));
    } else {
        tell(SessionOperator::Severity::Critical,
             failureText(QStringLiteral("The scanner ended without a film (exit code %1).").arg(m_scannerExit),
                         QStringLiteral("Please check Preferences")));
    }
    endScan();
}

// The import of the film: its image is built in the background with the record
// and identity of its journal entry.
void ScanSession::ImageImport()
{
    setState(SessionState::Importing);
    const bool recovered = m_flow == SessionFlow::Recovery;
    if (!recovered) {
        m_study.importBegins();
        if (!m_study.studyUid.isEmpty() && m_study.full()) {
            imageBuilt(nullptr, std::make_exception_ptr(
                                    Failure(QStringLiteral("The study already holds %1 images; start a new study.")
                                                .arg(m_study.imageCounter),
                                            Failure::Kind::Argument)));
            return;
        }
    }
    auto image = std::make_shared<dicom::Image>();
    const FilmRecord film = *m_film;
    m_task.start([image, film](const CancelFlag&) { *image = buildFilmImage(film, QDate::currentDate()); },
                 [this, image](std::exception_ptr failure) { imageBuilt(image, failure); });
}

void ScanSession::imageBuilt(std::shared_ptr<dicom::Image> image, std::exception_ptr failure)
{
    if (!failure) {
        if (m_flow != SessionFlow::Recovery)
            m_study.imported(m_film->numbering);
        const FilmRecord& film = *m_film;
        const QString scheduled = film.numbering.scheduled ? QStringLiteral(" (scheduled: %1)").arg(film.numbering.scheduled->label())
                                                           : QString();
        programlog::event(QStringLiteral("film imported: %1 as image %2 of %3 in study %4%5")
                              .arg(film.scanFile, film.numbering.instanceUid, patientOf(film), film.numbering.studyUid,
                                   scheduled));
        handOver(image);
        return;
    }
    const QString why = describe(failure);
    const bool tooSmall = isTooSmall(failure);
    if (m_flow == SessionFlow::Recovery) {
        recoveryFilmDone(false, why);
        return;
    }
    const FilmRecord film = *m_film;
    ScanJournal(m_programFolder).remove(film);
    m_aborted = true;
    if (tooSmall) {
        programlog::event(QStringLiteral("scan file too small (%1 bytes), left where it is: %2")
                              .arg(QFileInfo(film.scanFile).size())
                              .arg(film.scanFile));
        tell(SessionOperator::Severity::Information, why);
    } else {
        m_study.buildFailed();
        programlog::event(QStringLiteral("import of %1 failed, the file is left where it is: %2").arg(film.scanFile, why));
        tell(SessionOperator::Severity::Critical, failureText(why, QStringLiteral("Maybe scan apported.")), true);
    }
    filmDone(false);
}

// A film has gone as far as it goes: the flow moves on.
void ScanSession::filmDone(bool imported)
{
    m_film.reset();
    if (imported)
        ++m_filmsImported;
    if (m_flow == SessionFlow::Recovery)
        return;
    if (m_flow == SessionFlow::Stack && m_end == EndRequest::None) {
        if (!imported)
            m_stack->filmFailed();
        if (m_stack->next()) {
            startFilm(m_stack->film(), m_stack->count());
            return;
        }
    }
    endScan();
}

void ScanSession::scanFailed(const std::exception& failure)
{
    programlog::event(QStringLiteral("scan failed: %1").arg(describe(failure)));
    if (m_film)
        ScanJournal(m_programFolder).remove(*m_film);
    m_film.reset();
    tell(SessionOperator::Severity::Critical, failureText(describe(failure), QStringLiteral("Please check Preferences")));
    endScan();
}

void ScanSession::endScan()
{
    programlog::event(QStringLiteral("scan ended"));
    TimerScan.stop();
    m_askTimer.stop();
    m_stack.reset();
    m_film.reset();
    m_flow = SessionFlow::None;
    if (m_end != EndRequest::None) {
        // What the operator is still to be told is shown before the end.
        if (m_pendingNotices > 0)
            m_endWhenTold = true;
        else
            endNow();
        return;
    }
    setState(SessionState::Idle);
    emit outboxChanged();
}

// ------------------------------------------------------------------ ending

bool ScanSession::requestEnd()
{
    if (m_endWhenTold)
        return false; // ends once the operator has read what is shown
    switch (m_state) {
    case SessionState::Ended:
        return true;
    case SessionState::Idle:
        endNow();
        return true;
    default:
        break;
    }
    if (m_flow == SessionFlow::Recovery) {
        // The journal keeps every film not yet safe, for the next start.
        programlog::event(QStringLiteral("Quit during the recovery: the journal keeps what is not finished"));
        m_task.stop();
        endNow();
        return true;
    }
    if (m_end == EndRequest::None) {
        m_end = EndRequest::AfterFilm;
        programlog::event(QStringLiteral("Quit during a scan: Skiascan ends after the film"));
        m_askTimer.start(m_timing.askToEnd);
        emit stateChanged();
        return false;
    }
    // Asked again: a scanner that has not finished is asked about; a film on
    // its way to the outbox is there in a moment.
    if (m_state == SessionState::Scanning || m_state == SessionState::WaitingForFile)
        askToEnd();
    else
        m_end = EndRequest::Asked;
    return false;
}

void ScanSession::askToEnd()
{
    if (m_asking || m_state == SessionState::Ended)
        return;
    if (m_state == SessionState::HandingOver) {
        m_end = EndRequest::Asked; // in the outbox in a moment
        return;
    }
    if (m_state != SessionState::Scanning && m_state != SessionState::WaitingForFile)
        return; // the film is on its way to the outbox: the end comes by itself
    m_asking = true;
    m_end = EndRequest::Asked;
    const QString patient = m_film ? patientOf(*m_film) : QString();
    QTimer::singleShot(0, this, [this, patient] {
        if (m_state == SessionState::Ended || !m_asking)
            return;
        m_operator.askToEndNow(patient);
    });
}

void ScanSession::answerEndNow(bool endNow)
{
    m_asking = false;
    if (m_state == SessionState::Ended)
        return;
    if (!endNow) {
        programlog::event(QStringLiteral("Quit: the operator waits for the scanner"));
        m_end = EndRequest::AfterFilm; // the film still goes to the nodes
        return;
    }
    programlog::event(m_film ? QStringLiteral("Quit without the film %1: the journal keeps it for the next start")
                                   .arg(m_film->scanFile)
                             : QStringLiteral("Quit without the film"));
    m_task.stop();
    this->endNow();
}

// The program ends now. A scanner program still at work is left alone: killed
// in the middle of a film it may jam the feeder, and the journal keeps its film.
void ScanSession::endNow()
{
    TimerScan.stop();
    m_askTimer.stop();
    releaseScanner();
    // Transfers under way are cut; what is owed stays in the outbox.
    m_delivery.stop();
    setState(SessionState::Ended);
    const int owed = Outbox(m_programFolder).count();
    programlog::event(owed > 0 ? QStringLiteral("Skiascan ends; %1 wait in the outbox")
                                     .arg(countOf(owed, QStringLiteral("image"), QStringLiteral("images")))
                               : QStringLiteral("Skiascan ends"));
    emit readyToEnd();
}

void ScanSession::releaseScanner()
{
    if (!m_scanner)
        return;
    m_scanner->disconnect(this);
    if (m_scanner->state() != QProcess::NotRunning) {
        // Deleting a QProcess kills its program; this one is let go instead,
        // kept (never deleted) until the program ends.
        static auto* letGo = new std::vector<QProcess*>;
        m_scanner->setParent(nullptr);
        letGo->push_back(m_scanner);
    } else {
        delete m_scanner;
    }
    m_scanner = nullptr;
}

} // namespace skiascan
