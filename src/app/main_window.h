// fSkiascan, the main window: the study record in its fields, the settings, the
// per-study state, and the buttons that start every activity.
#pragma once

#include "app/window_helpers.h"
#include "common/instance_lock.h"
#include "delivery/destinations.h"
#include "scan/film_record.h"
#include "scan/film_stack.h"
#include "scan/scan_file_watch.h"
#include "scan/scan_files.h"
#include "settings/settings_file.h"
#include "worklist/worklist_entries.h"
#include "worklist/worklist_query.h"

#include <QMainWindow>
#include <QSet>
#include <QString>

#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <vector>

class QAction;
class QComboBox;
class QEventLoop;
class QLabel;
class QLineEdit;
class QPushButton;
class QScrollBar;
class QTimer;

namespace skiascan {

namespace dicom {
class Image;
class UidGenerator;
}
class DeliveryProgress;
struct FilmDelivery;
struct RoundReport;

/// Why a round through the outbox runs; what the operator is told depends on it.
enum class RoundCause { AtStart, AfterImport, AfterPreferences, Operator };

class fSkiascan : public QMainWindow {
    Q_OBJECT

public:
    /// `programFolder` holds the settings file (and, later, the outbox and logs).
    explicit fSkiascan(const QString& programFolder, QWidget* parent = nullptr);
    ~fSkiascan() override;

    /// Runs the start-up: the lock of the program folder, window load (settings,
    /// or the preferences dialog until a settings file exists), the images count,
    /// the command line, then top-most and shown; then the films a crash left in
    /// the scan journal are recovered and the outbox is sent. Returns false when
    /// the program must end (another Skiascan runs in the program folder, or the
    /// settings could not be loaded twice in a row).
    bool startUp(const QString& argumentText);

    /// Gives the current study a fresh StudyUID and StudyTime (regional time format).
    void NewStudy();

    /// Turns the TIFF named by ScanFile into one DICOM image and delivers it to the
    /// remote nodes; what a node does not confirm is kept in the outbox. The film
    /// in the scanner is imported with the record taken when its scan started;
    /// without a scan, the record is taken from the fields now. Returns false when
    /// the file was too small or the image could not be built (the TIFF then stays
    /// and ScanAborted is set); true once the TIFF is safe to go.
    bool ImageImport();

    /// Sends what the outbox owes (a round, see runRound()), leaving out the nodes
    /// in `skip` (found unreachable a moment ago), tells the operator what went
    /// wrong once, and shows how many images still wait. A round asked for while
    /// one runs is merged into it.
    void sendOutbox(RoundCause cause, const QSet<QString>& skip = {});

    /// The folder of the program: settings file, outbox, logs, test image.
    QString programFolder() const { return m_programFolder; }

    /// True once the program has been told to end (a failed reload of the
    /// settings, or the scanner test handed over).
    bool programEnded() const { return m_programEnded; }

signals:
    /// The program must end with this exit code; main() ends the event loop.
    void ended(int exitCode);

public:

    // The study record and the buttons. Object names equal the member names.
    QLineEdit* PATNachname = nullptr;
    QLineEdit* PATVorname = nullptr;
    QLineEdit* PAT2Vorname = nullptr;
    QLineEdit* PATGebDatum = nullptr;
    QLineEdit* PATID1 = nullptr;
    QLineEdit* AccessionNumber = nullptr;
    QComboBox* Sex = nullptr;
    QLineEdit* Bodypart = nullptr;
    QLineEdit* StudyDate = nullptr;
    QLineEdit* StudyDescritpion = nullptr;
    QLineEdit* SeriesDescription = nullptr;
    QLineEdit* Films = nullptr;
    QScrollBar* ScrollFilms = nullptr;
    QLineEdit* Images = nullptr;
    QScrollBar* ScrollImages = nullptr;
    QPushButton* cmdWorklist = nullptr;
    QPushButton* cmdScan = nullptr;
    QPushButton* cmdMultiScan = nullptr;
    QPushButton* cmdPrefs = nullptr;
    QPushButton* cmdNew = nullptr;
    QPushButton* cmdTest = nullptr;
    QPushButton* cmdCancel = nullptr;
    std::array<QLabel*, 13> Label1{};
    ClickableLabel* lblOutbox = nullptr; // what a scan is doing, else how many images wait (click: the outbox)
    QAction* mnuHelp = nullptr;
    QTimer* TimerScan = nullptr;
    QTimer* TimerMultiScan = nullptr;

    /// The sixteen settings, filled by the settings load.
    Settings settings;

    /// What every association, send and worklist query may take of a peer's
    /// time and of the workstation's memory (tests make them small).
    dicom::NetworkTimeouts networkTimeouts;
    dicom::QueryLimits queryLimits;

    // Per-study and scan state.
    QString StudyUID;
    QString StudyTime;
    std::unique_ptr<dicom::UidGenerator> UIDGenerator;
    bool WorklistUsed = false;
    qint16 ImageCounter = 0;
    QString ScanFile;
    bool ScanAborted = false;

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    // Controls and keys (main_window.cpp).
    void buildControls();
    void connectHandlers();

    // Start-up and load (main_window_load.cpp).
    bool Form_Load();
    std::vector<std::function<bool()>> loadSteps(SettingsReader& reader);
    void showPreferences();
    void endProgram(int exitCode);
    void applyCommandLine(const QString& argumentText);
    void cmdPrefs_Click();

    // Network work, rounds and the outbox window (main_window_delivery.cpp).
    RemoteSettings remotes() const;
    void runNetworkWork(const std::function<void(DeliveryProgress&)>& work);
    void showOutboxCount();
    void reportDelivery(const FilmDelivery& delivery, const QString& scanFile);
    void reportRound(const RoundReport& report, RoundCause cause);
    void lblOutbox_Click();
    void sendImagesNow(const QSet<QString>& images);

    // The study record, its entry rule and the window commands (main_window_study.cpp).
    void runEntryRule(bool multiScanToo);

    void PATNachname_Change();
    void PATVorname_Change();
    void PAT2Vorname_Change();
    void PATGebDatum_Change();
    void PATID1_Change();
    void Sex_Change();
    void Sex_Click();
    void Bodypart_Change();
    void StudyDate_Change();
    void StudyDescritpion_Change();
    void SeriesDescription_Change();
    void Images_Change();
    void ScrollFilms_Change();
    void ScrollImages_Change();
    void cmdWorklist_Click();
    void applyWorklistPick(const WorklistRow& row);
    WorklistStation worklistStation() const;
    void cmdNew_Click();
    void cmdCancel_Click();
    void mnuHelp_Click();

    // Scans (main_window_scan.cpp).
    void cmdScan_Click();
    void TimerScan_Timer();
    void cmdMultiScan_Click();
    void TimerMultiScan_Timer();
    void cmdTest_Click();
    bool recordFitsTheImage();
    void beginScan();
    void startFilm(int film, int films);
    void runScanner(FilmPlace place);
    bool filmWillNeverCome() const;
    void scanFailed(const std::exception& failure);
    void endScan();
    void lockRecord(bool locked);
    void finishQuit();
    void showStatus(const QString& text);
    dicom::ImageRecord studyRecord() const;
    StudyNumbering studyNumbering() const;
    QString recoverFilms();

    // Import (main_window_import.cpp).
    bool deliverFilm(dicom::Image& image, const FilmRecord& film);

    QString m_programFolder;
    std::unique_ptr<InstanceLock> m_lock;
    bool m_programEnded = false;
    // From the click of Single Scan or Multiple Scan until the scan has ended:
    // nothing may start another scan or change the record under it.
    bool m_scanning = false;
    bool m_scannerRunning = false;
    bool m_quitAfterFilm = false; // Quit came during a scan: end once the film is safe
    bool m_roundRunning = false;
    bool m_roundAgain = false;    // a round was asked for while one ran
    dicom::ImageRecord m_scanStudy;  // the study record taken at the click
    std::optional<FilmRecord> m_film; // the film in the scanner
    FilmStack* m_stack = nullptr;     // the stack under way
    bool m_importing = false;
    bool m_closing = false;
    ScanFileNamer m_scanFileNames;
    ScanFileWatch m_scanWatch;
    QEventLoop* m_filmWait = nullptr; // a multiple scan waiting for its film
    // A selection from the Sex list changes its text first and is reported as a
    // selection afterwards; the text change must then not close the study.
    QString m_studyUidBeforeSexChange;
    bool m_sexChangePending = false;
};

} // namespace skiascan
