// fSkiascan, the main window: the study record in its fields, the settings, the
// per-study state, and the buttons that start every activity.
#pragma once

#include "app/study_entry.h"
#include "app/window_helpers.h"
#include "common/instance_lock.h"
#include "session/scan_session.h"
#include "settings/settings_file.h"
#include "worklist/worklist_entries.h"
#include "worklist/worklist_query.h"

#include <QMainWindow>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <array>
#include <functional>
#include <memory>
#include <vector>

class QAction;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QScrollBar;
class QTimer;

namespace skiascan {

class FilmViewLink;
class OutboxDialog;

class fSkiascan : public QMainWindow, private SessionOperator {
    Q_OBJECT

public:
    /// `programFolder` holds the settings file (and, later, the outbox and logs).
    explicit fSkiascan(const QString& programFolder, QWidget* parent = nullptr);
    ~fSkiascan() override;

    /// Runs the start-up: the lock of the program folder, window load (settings,
    /// or the preferences dialog until a settings file exists), the images count,
    /// the command line, then top-most and shown; then the delivery service is
    /// woken for what the outbox owes and the films a crash left in the scan
    /// journal are recovered. Returns false when
    /// the program must end (another Skiascan runs in the program folder, or the
    /// settings could not be loaded twice in a row).
    bool startUp(const QString& argumentText);

    /// The film's journey: the study, the scans, the outbox. The window shows
    /// its state.
    ScanSession& session() { return *m_session; }

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
    ClickableLabel* lblOutbox = nullptr; // what a scan is doing, what waits, a node that fails (click: the outbox)
    QAction* mnuHelp = nullptr;

    /// The sixteen settings, filled by the settings load.
    Settings settings;
    /// The settings of the options file, read at the end of the settings load.
    Options options;

    /// What every association, send and worklist query may take of a peer's
    /// time and of the workstation's memory (tests make them small).
    dicom::NetworkTimeouts networkTimeouts;
    dicom::QueryLimits queryLimits;

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

    // The session's state on the window, delivery on the line below the
    // buttons, and the outbox window (main_window_delivery.cpp).
    void showSessionState();
    void showButtons();
    void showOutbox();
    void nodeDown(const QString& node, const QString& reason);
    void nodeBack(const QString& node);
    void lblOutbox_Click();
    void tell(const Notice& notice) override;
    void askToEndNow(const QString& patient) override;
    void openQuestion(QMessageBox* box, std::function<void(int)> answered);

    // The study record, its entry rule and the window commands (main_window_study.cpp).
    void runEntryRule(bool multiScanToo);
    StudyRecordTexts recordTexts() const;
    QWidget* fieldOf(EntryField field) const;
    void showRefusals();
    void explainRefusal();

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
    void applyWorklistPick(const WorklistRow& row, const std::optional<dicom::ScheduledStudy>& scheduled);
    WorklistStation worklistStation() const;
    void cmdNew_Click();
    void cmdCancel_Click();
    void mnuHelp_Click();

    // Scans (main_window_scan.cpp).
    void cmdScan_Click();
    void cmdMultiScan_Click();
    void cmdTest_Click();
    bool recordFitsTheImage();
    void askIfImplausible(const std::function<void()>& scan);
    void lockRecord(bool locked);
    dicom::StudyRecord studyRecord() const;

    QString m_programFolder;
    std::unique_ptr<InstanceLock> m_lock;
    std::unique_ptr<ScanSession> m_session;
    bool m_programEnded = false;
    // What the entry rule decided for the scan buttons; they show it while the
    // session is idle.
    bool m_scanAllowed = false;
    bool m_multiScanAllowed = false;
    std::vector<EntryRefusal> m_refusals; // why the record is not complete, as the rule last found
    bool m_inScan = false; // a single scan or a stack was under way when last shown
    QPointer<OutboxDialog> m_outboxDialog;
    FilmViewLink* m_filmView = nullptr; // the film view beside the window (film_view_link.cpp)
    QString m_goneNodes;   // what waits for nodes no longer configured
    QStringList m_goneTitles;
    QString m_backNotice;  // "PACS is back", shown for a while
    QTimer* m_backNoticeTimer = nullptr;
    QPointer<QMessageBox> m_endQuestion; // whether to end without the film
    QList<QPointer<QMessageBox>> m_openBoxes; // the session's messages and questions still open
    bool m_endingAfterNotices = false;   // the session has ended: the window closes once they are read
    // A selection from the Sex list changes its text first and is reported as a
    // selection afterwards; the text change must then not close the study.
    QString m_studyUidBeforeSexChange;
    std::optional<dicom::ScheduledStudy> m_scheduledBeforeSexChange;
    bool m_sexChangePending = false;
};

} // namespace skiascan
