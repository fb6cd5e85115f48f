// The scan session: a film's journey from the click to the outbox, without a
// window. It owns the study numbering, the record taken at the click, the scan
// journal, the scanner's run (scan/scanner_run.h), the import and the
// hand-over to the delivery service (which it owns, for the whole run), and
// the films a crash left behind. Every step is asynchronous (the scanner's
// signals, background tasks reporting back here): nothing in it runs a nested
// event loop or waits for an answer. The window shows state() and activity()
// and answers what the session asks through SessionOperator.
#pragma once

#include "common/background.h"
#include "delivery/delivery_service.h"
#include "dicom/network.h"
#include "dicom/image_attributes.h"
#include "scan/film_record.h"
#include "scan/film_stack.h"
#include "scan/scan_files.h"
#include "scan/scanner_run.h"
#include "session/performed_steps.h"
#include "session/film_review.h"
#include "settings/options_file.h"
#include "settings/settings_file.h"

#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <chrono>
#include <memory>
#include <optional>

namespace skiascan {

namespace dicom {
class Image;
class UidGenerator;
} // namespace dicom

/// Where a film's journey stands. One value at a time; `flow()` says what
/// comes after the film.
enum class SessionState {
    Idle,           ///< nothing under way: a scan may start
    Scanning,       ///< the scanner program runs for the film (or the test image is copied)
    WaitingForFile, ///< the scanner has ended: its file is awaited until it stands still
    Importing,      ///< the film's image is built, in the background
    HandingOver,    ///< the image is written ahead into the outbox, in the background
    Ended,          ///< the program ends: nothing starts any more
};

/// What the film under way belongs to.
enum class SessionFlow {
    None,     ///< no film under way
    Single,   ///< Single Scan
    Stack,    ///< Multiple Scan: more films may follow
    Recovery, ///< start-up: a film a crash left in the scanner
};

/// What the session asks of and tells the operator. The window answers with
/// message boxes it opens without waiting; tests answer directly. Calls come
/// from the session's event loop, never from inside a session step. The
/// session goes on at once: it never waits for an answer, nor needs to know
/// that a question is open.
class SessionOperator {
public:
    enum class Severity { Information, Warning, Critical };
    /// A message: its icon, its text, and whether its title is the main
    /// window's caption (a failed import) rather than "Skiascan".
    struct Notice {
        Severity severity = Severity::Information;
        QString text;
        bool underWindowCaption = false;
    };

    virtual ~SessionOperator() = default;
    /// A message.
    virtual void tell(const Notice& notice) = 0;
    /// The operator has quit, but the scanner has not finished the film of
    /// `patient` ("Smith, John (4711)"). The answer goes to ScanSession::answerEndNow(),
    /// whenever it comes; the session may have ended meanwhile.
    virtual void askToEndNow(const QString& patient) = 0;
};

class ScanSession : public QObject {
    Q_OBJECT

public:
    /// How long the session waits for what, changeable for tests.
    struct Timing {
        std::chrono::milliseconds tick{500};      ///< TimerScan: looks for the scan file
        std::chrono::milliseconds noFile{5000};   ///< after the scanner ended, for a file that never comes
        std::chrono::milliseconds askToEnd{30000}; ///< after Quit, before asking to end without the film
    };

    /// A session for the program folder (journal, outbox, test image). The
    /// operator must outlive it.
    ScanSession(const QString& programFolder, SessionOperator& op, QObject* parent = nullptr);
    /// Stops what runs in the background (a film not yet safe stays in the
    /// journal) and leaves a running scanner program alone.
    ~ScanSession() override;

    /// The settings; the delivery service sends to their nodes from now on.
    void setSettings(const Settings& settings);
    /// The settings and those of the options file, at once, so that the
    /// delivery (and its listener) is set up once.
    void setConfiguration(const Settings& settings, const Options& options);
    const Options& options() const { return m_options; }
    void setTiming(const Timing& timing);
    /// What every association of the delivery service may take of a peer's time.
    void setNetworkTimeouts(const dicom::NetworkTimeouts& timeouts);

    SessionState state() const { return m_state; }
    SessionFlow flow() const { return m_flow; }
    /// True while nothing is under way and a scan may start.
    bool idle() const { return m_state == SessionState::Idle; }
    /// True from the click of a scan (or the start of the recovery) until the
    /// film or the stack has ended: the record must not change meanwhile.
    bool scanning() const { return m_flow != SessionFlow::None; }
    /// What the session does, for the line below the buttons ("Scanning film 2
    /// of 6", "Sending film 1", ...); empty when idle.
    QString activity() const;
    /// What the outbox holds, for the same line when idle ("Outbox: 3 images").
    QString outboxLine() const;

    // ------------------------------------------------------------ the study
    const QString& StudyUID() const { return m_study.studyUid; }
    const QString& StudyTime() const { return m_study.studyTime; }
    qint16 ImageCounter() const { return m_study.imageCounter; }
    bool WorklistUsed() const { return m_study.worklistUsed; }
    /// The order the current study was scheduled by, when a worklist pick
    /// brought one; nothing once the study has ended.
    const std::optional<dicom::ScheduledStudy>& scheduledStudy() const { return m_study.scheduled; }
    /// True when the last film of a scan could not be imported.
    bool ScanAborted() const { return m_aborted; }
    /// The file of the film under way (or the last one).
    QString ScanFile() const { return m_film ? m_film->scanFile : m_lastScanFile; }

    /// A fresh StudyUID and StudyTime (the regional time format), before a
    /// worklist pick is applied.
    void openStudy();
    /// The films from now on go into the study a worklist entry scheduled and
    /// carry its order: its Study Instance UID when it has a valid one, else a
    /// study made here (openStudy()).
    void useScheduledStudy(const dicom::ScheduledStudy& scheduled);
    /// The study ends: the next film opens a new one, of this station's own.
    /// (A patient field changed, or New Study.)
    void closeStudy();
    /// A field of the study rather than of the patient changed (study date,
    /// descriptions, body part): a study of this station's own ends as
    /// closeStudy() says; a scheduled study stays, for the films still belong
    /// to its order, and its date and descriptions are the operator's to fill.
    void studyFieldEdited();
    /// The study as a text field change found it before and puts it back (a
    /// selection from the Sex list).
    void restoreStudy(const QString& studyUid, const std::optional<dicom::ScheduledStudy>& scheduled = std::nullopt);
    /// The worklist dialog has closed: the next image is numbered 1.
    void worklistClosed() { m_study.worklistUsed = true; }

    // ------------------------------------------------------------ scanning
    /// Starts a single scan of `record` (taken now: the film carries it
    /// whatever happens to the fields). False when the session is not idle.
    bool scanSingle(const dicom::StudyRecord& record);
    /// Starts a stack of `films` films of `record`. False when not idle.
    bool scanStack(const dicom::StudyRecord& record, int films);
    /// The Films field as it reads now: the film of that number is told to the
    /// scanner as the last one.
    void setFilmsInFeeder(int films) { m_filmsInFeeder = films; }

    /// Start-up: tidies the outbox, wakes the delivery service for what it
    /// owes, and imports the films a crash left in the scanner. The operator
    /// is told of the recovered films at the end.
    void startUp();

    /// The delivery service, which sends what the outbox owes beside the scans.
    DeliveryService& delivery() { return m_delivery; }
    const DeliveryService& delivery() const { return m_delivery; }
    /// The outbox the films are kept in (the delivery service's).
    Outbox& outbox() { return m_delivery.outbox(); }
    /// The films held for review, and the operator's requests for them. A
    /// film is held when the options say so (View/HoldForReview) or when it
    /// looks blank.
    FilmReview& review() { return m_review; }
    const FilmReview& review() const { return m_review; }

    // ------------------------------------------------------------ ending
    /// The operator quits. True when the program may end now. During a scan
    /// the session ends after the film (signal readyToEnd), and a stack ends
    /// there too; a second request, or 30 seconds of a scanner that does not
    /// finish, asks the operator.
    bool requestEnd();
    /// The operator's answer to askToEndNow: end now (the journal keeps the
    /// film, the scanner is left alone) or wait on. An answer that comes
    /// after the session has ended, or when there is nothing to end, is
    /// ignored.
    void answerEndNow(bool endNow);

signals:
    /// state(), flow() or activity() changed.
    void stateChanged();
    /// The outbox may hold other images now.
    void outboxChanged();
    /// The operator quit earlier and the session is done: end the program.
    void readyToEnd();
    /// A film's image is built and is being written ahead into the outbox
    /// (or held there for review): the window may show it now.
    void filmArrived(const skiascan::ArrivedFilm& film);
    /// The film's write-ahead has ended: it is in the outbox (`kept`), or it
    /// stays in the scanner's folder and the journal for the next start.
    void filmKept(const QString& instanceUid, bool kept);

private:
    // The study and the start of a scan (scan_session.cpp).
    void setState(SessionState state);
    bool beginScan(const dicom::StudyRecord& record, SessionFlow flow);
    void startFilm(int film, int films);
    QString patientOf(const FilmRecord& film) const;

    // A film from the scanner to the outbox (session_film.cpp).
    void startScanner();
    void scannerStarted(qint64 processId);
    void scannerEnded(int exitCode);
    void noFilmCame(int exitCode);
    void importFilm();
    void imageBuilt(std::shared_ptr<dicom::Image> image, std::exception_ptr failure);
    void filmDone(bool imported);
    void scanFailed(const std::exception& failure);
    void endScan();

    // Quit during a scan (session_ending.cpp).
    void askToEnd();
    void endNow();

    // The films a crash left (session_recovery.cpp).
    void recoverNext();
    void recoveredFileReady();
    void recoveredFileGone();
    void recoveryFilmDone(bool imported, const QString& failure);
    void recoveryEnded();

    // Hand-over to delivery (session_delivery.cpp).
    void handOver(std::shared_ptr<dicom::Image> image);
    void handedOver(const OutboxEntry& entry, std::exception_ptr failure);
    void configureDelivery();
    void tell(SessionOperator::Severity severity, const QString& text, bool underWindowCaption = false);
    std::vector<Node> nodes() const;

    QString m_programFolder;
    SessionOperator& m_operator;
    Settings m_settings;
    Options m_options;
    Timing m_timing;
    dicom::NetworkTimeouts m_timeouts;

    SessionState m_state = SessionState::Idle;
    SessionFlow m_flow = SessionFlow::None;
    enum class EndRequest { None, AfterFilm, Asked };
    EndRequest m_end = EndRequest::None;

    StudyNumbering m_study;
    std::unique_ptr<dicom::UidGenerator> m_uids;
    bool m_aborted = false;          // ScanAborted
    dicom::StudyRecord m_record;     // taken at the click
    std::optional<FilmRecord> m_film; // the film under way
    QString m_lastScanFile;
    std::optional<FilmStack> m_stack;
    int m_filmsInFeeder = 6;
    int m_filmsImported = 0;         // in the scan under way
    ScanFileNamer m_scanFileNames;
    int m_nameTries = 0;

    ScannerRun m_scanner;            // the scanner program and the watch for its file
    QTimer m_askTimer;               // after Quit during a scan
    BackgroundTask m_task;           // the import or the hand-over
    DeliveryService m_delivery;
    PerformedSteps m_steps;          // the performed procedure steps of the studies (performed_steps.h)
    FilmReview m_review;              // after the delivery service, whose outbox it changes
    bool m_looksBlank = false;        // the film under way, as its import found

    // Recovery at start-up.
    std::vector<FilmRecord> m_recovery;
    QStringList m_recovered;
    QStringList m_lost;
    bool m_waitingForScanner = false; // a scanner a crash left still works on the film
};

} // namespace skiascan
