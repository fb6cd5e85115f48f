#include "app/main_window.h"

#include "app/study_entry.h"
#include "app/window_helpers.h"
#include "dicom/dicom_toolkit.h"
#include "dicom/image_import.h"
#include "dicom/outbox.h"
#include "scan/program_runner.h"
#include "scan/scan_commands.h"
#include "settings/prefs_dialog.h"
#include "worklist/worklist_dialog.h"
#include "skiascan_version.h"

#include <QAction>
#include <QComboBox>
#include <QCloseEvent>
#include <QDir>
#include <QEventLoop>
#include <QProcess>
#include <QFileInfo>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QTimer>

#include <limits>

namespace skiascan {

namespace {

constexpr int kClientWidth = 520;
constexpr int kClientHeight = 325;

template <typename W>
W* place(QWidget* parent, const char* name, int x, int y, int w, int h)
{
    auto* widget = new W(parent);
    widget->setObjectName(QLatin1String(name));
    widget->setGeometry(x, y, w, h);
    return widget;
}

QLineEdit* textBox(QWidget* parent, const char* name, int x, int y, int w, int h)
{
    return place<QLineEdit>(parent, name, x, y, w, h);
}

QPushButton* button(QWidget* parent, const char* name, const char* caption, int x, int y, int w, int h)
{
    auto* b = place<QPushButton>(parent, name, x, y, w, h);
    b->setText(QLatin1String(caption));
    b->setAutoDefault(false);
    return b;
}

} // namespace

fSkiascan::fSkiascan(const QString& programFolder, QWidget* parent)
    : QMainWindow(parent)
    , m_programFolder(programFolder)
{
    setObjectName(QStringLiteral("fSkiascan"));
    setWindowTitle(QStringLiteral("X-Ray Skiascan"));
    // The fixed layout was drawn for a small sans-serif face; a narrow one keeps
    // every caption inside its control.
    QFont face(QStringLiteral("Liberation Sans"));
    face.setStyleHint(QFont::SansSerif);
    face.setPixelSize(11);
    setFont(face);
    buildControls();
}

fSkiascan::~fSkiascan() = default;

void fSkiascan::buildControls()
{
    auto* client = new QWidget(this);
    client->setObjectName(QStringLiteral("client"));
    client->setFixedSize(kClientWidth, kClientHeight);
    setCentralWidget(client);

    // Labels first, so that the fields they describe come first in the tab order.
    struct LabelDef {
        int index;
        const char* caption;
        int y;
    };
    const LabelDef labels[] = {
        {0, "Patient Lastname:", 8},
        {1, "Patient Firstname:", 32},
        {2, "Patient Middle Initial:", 56},
        {3, "Patient Birthdate:", 80},
        {4, "Patient ID:", 104},
        {12, "Accession Number:", 128},
        {5, "Patient Sex:", 152},
        {6, "Bodypart:", 176},
        {7, "Study Date:", 200},
        {8, "Study Description:", 224},
        {9, "Series/Image Description:", 248},
        {10, "Films in Feeder (Multiple Scan):", 274},
        {11, "Images per Study:", 296},
    };
    for (const LabelDef& l : labels) {
        auto* label = new QLabel(QLatin1String(l.caption), client);
        label->setObjectName(QStringLiteral("Label1_%1").arg(l.index));
        label->setGeometry(8, l.y, 152, 17);
        Label1[l.index] = label;
    }
    Label1[11]->setEnabled(false);
    // The longest caption needs a slightly narrower face to end before its field.
    QFont narrow = Label1[10]->font();
    narrow.setStretch(94);
    Label1[10]->setFont(narrow);

    PATNachname = textBox(client, "PATNachname", 160, 8, 193, 19);
    PATVorname = textBox(client, "PATVorname", 160, 32, 193, 19);
    PAT2Vorname = textBox(client, "PAT2Vorname", 160, 56, 193, 19);
    PATGebDatum = textBox(client, "PATGebDatum", 160, 80, 89, 19);
    PATID1 = textBox(client, "PATID1", 160, 104, 193, 19);
    AccessionNumber = textBox(client, "AccessionNumber", 160, 128, 89, 19);

    Sex = place<QComboBox>(client, "Sex", 160, 152, 41, 21);
    Sex->setEditable(true);
    Sex->setCompleter(nullptr);
    Sex->setInsertPolicy(QComboBox::NoInsert);
    Sex->addItems({QStringLiteral("F"), QStringLiteral("M"), QStringLiteral("O")});
    Sex->setCurrentIndex(2);

    Bodypart = textBox(client, "Bodypart", 160, 176, 193, 19);
    Bodypart->setText(QStringLiteral("Unknown"));
    StudyDate = textBox(client, "StudyDate", 160, 200, 89, 19);
    StudyDescritpion = textBox(client, "StudyDescritpion", 160, 224, 193, 19);
    SeriesDescription = textBox(client, "SeriesDescription", 160, 248, 193, 19);

    Films = textBox(client, "Films", 160, 272, 25, 19);
    Films->setText(QStringLiteral("6"));
    Films->setReadOnly(true);
    ScrollFilms = place<QScrollBar>(client, "ScrollFilms", 184, 272, 17, 17);
    ScrollFilms->setOrientation(Qt::Vertical);
    ScrollFilms->setRange(1, 6);
    ScrollFilms->setSingleStep(1);
    ScrollFilms->setPageStep(1);
    ScrollFilms->setValue(1);
    ScrollFilms->setFocusPolicy(Qt::StrongFocus);

    Images = textBox(client, "Images", 160, 296, 25, 19);
    Images->setText(QStringLiteral("1"));
    Images->setReadOnly(true);
    Images->setEnabled(false);
    ScrollImages = place<QScrollBar>(client, "ScrollImages", 184, 296, 17, 17);
    ScrollImages->setOrientation(Qt::Vertical);
    ScrollImages->setRange(1, 99);
    ScrollImages->setSingleStep(1);
    ScrollImages->setPageStep(1);
    ScrollImages->setValue(1);
    ScrollImages->setEnabled(false);

    cmdWorklist = button(client, "cmdWorklist", "Worklist", 376, 8, 137, 41);
    cmdScan = button(client, "cmdScan", "Single Scan", 376, 56, 137, 41);
    cmdMultiScan = button(client, "cmdMultiScan", "Multiple Scan", 376, 104, 137, 41);
    cmdPrefs = button(client, "cmdPrefs", "Preferences", 376, 152, 137, 41);
    cmdNew = button(client, "cmdNew", "New Study", 376, 200, 137, 41);
    cmdTest = button(client, "cmdTest", "Scanner Test", 376, 248, 65, 41);
    cmdCancel = button(client, "cmdCancel", "Quit", 448, 248, 65, 41);
    lblOutbox = new QLabel(client);
    lblOutbox->setObjectName(QStringLiteral("lblOutbox"));
    lblOutbox->setGeometry(376, 296, 137, 19);
    lblOutbox->setAlignment(Qt::AlignCenter);

    QWidget* tabOrder[] = {PATNachname, PATVorname, PAT2Vorname, PATGebDatum, PATID1, AccessionNumber,
                           Sex, Bodypart, StudyDate, StudyDescritpion, SeriesDescription, Films,
                           ScrollFilms, Images, ScrollImages, cmdWorklist, cmdScan, cmdMultiScan,
                           cmdPrefs, cmdNew, cmdTest, cmdCancel};
    for (std::size_t i = 1; i < std::size(tabOrder); ++i)
        setTabOrder(tabOrder[i - 1], tabOrder[i]);

    mnuHelp = menuBar()->addAction(QStringLiteral("?"));
    mnuHelp->setObjectName(QStringLiteral("mnuHelp"));

    TimerScan = new QTimer(this);
    TimerScan->setObjectName(QStringLiteral("TimerScan"));
    TimerScan->setInterval(500);
    TimerMultiScan = new QTimer(this);
    TimerMultiScan->setObjectName(QStringLiteral("TimerMultiScan"));
    TimerMultiScan->setInterval(500);

    setFixedSize(kClientWidth, kClientHeight + menuBar()->sizeHint().height());

    connect(PATNachname, &QLineEdit::textChanged, this, &fSkiascan::PATNachname_Change);
    connect(PATVorname, &QLineEdit::textChanged, this, &fSkiascan::PATVorname_Change);
    connect(PAT2Vorname, &QLineEdit::textChanged, this, &fSkiascan::PAT2Vorname_Change);
    connect(PATGebDatum, &QLineEdit::textChanged, this, &fSkiascan::PATGebDatum_Change);
    connect(PATID1, &QLineEdit::textChanged, this, &fSkiascan::PATID1_Change);
    connect(Sex, &QComboBox::editTextChanged, this, &fSkiascan::Sex_Change);
    connect(Sex, &QComboBox::activated, this, &fSkiascan::Sex_Click);
    connect(Bodypart, &QLineEdit::textChanged, this, &fSkiascan::Bodypart_Change);
    connect(StudyDate, &QLineEdit::textChanged, this, &fSkiascan::StudyDate_Change);
    connect(StudyDescritpion, &QLineEdit::textChanged, this, &fSkiascan::StudyDescritpion_Change);
    connect(SeriesDescription, &QLineEdit::textChanged, this, &fSkiascan::SeriesDescription_Change);
    connect(ScrollFilms, &QScrollBar::valueChanged, this, &fSkiascan::ScrollFilms_Change);
    connect(ScrollImages, &QScrollBar::valueChanged, this, &fSkiascan::ScrollImages_Change);
    connect(cmdScan, &QPushButton::clicked, this, &fSkiascan::cmdScan_Click);
    connect(TimerScan, &QTimer::timeout, this, &fSkiascan::TimerScan_Timer);
    connect(cmdMultiScan, &QPushButton::clicked, this, &fSkiascan::cmdMultiScan_Click);
    connect(TimerMultiScan, &QTimer::timeout, this, &fSkiascan::TimerMultiScan_Timer);
    connect(cmdTest, &QPushButton::clicked, this, &fSkiascan::cmdTest_Click);
    connect(cmdWorklist, &QPushButton::clicked, this, &fSkiascan::cmdWorklist_Click);
    connect(cmdNew, &QPushButton::clicked, this, &fSkiascan::cmdNew_Click);
    connect(cmdCancel, &QPushButton::clicked, this, &fSkiascan::cmdCancel_Click);
    connect(cmdPrefs, &QPushButton::clicked, this, &fSkiascan::cmdPrefs_Click);
    connect(mnuHelp, &QAction::triggered, this, &fSkiascan::mnuHelp_Click);
}

bool fSkiascan::startUp(const QString& argumentText)
{
    if (!Form_Load())
        return false;
    ScrollImages->setValue(99);
    applyCommandLine(argumentText);
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - QPoint(width() / 2, height() / 2));
    setTopMost(this, true);
    sendOutbox();
    return true;
}

void fSkiascan::applyCommandLine(const QString& text)
{
    const CommandLineFields fields = parseCommandLine(text);
    if (fields.lastName)
        PATNachname->setText(*fields.lastName);
    if (fields.firstName)
        PATVorname->setText(*fields.firstName);
    if (fields.middleName)
        PAT2Vorname->setText(*fields.middleName);
    if (fields.patientId)
        PATID1->setText(*fields.patientId);
    if (fields.birthDate)
        PATGebDatum->setText(*fields.birthDate);
}

// Window load: the settings file into the sixteen settings, or the preferences
// dialog until a file exists. The first failure shows the preferences dialog and
// retries the step that failed, reading on from the same place; a second failure
// in the same run means the program cannot go on.
bool fSkiascan::Form_Load()
{
    constexpr int kLastStep = 20;
    SettingsReader reader;
    int failures = 0;
    int step = 0;
    while (step <= kLastStep) {
        try {
            step = runLoadStep(step, reader) ? step + 1 : 0;
        } catch (const std::exception&) {
            if (++failures > 1)
                return false;
            setTopMost(this, false);
            showPreferences();
            setTopMost(this, true);
        }
    }
    return true;
}

// Runs one step of window load. Returns false when load must start over (the
// settings file was missing and the preferences dialog has been shown).
bool fSkiascan::runLoadStep(int step, SettingsReader& reader)
{
    Settings& s = settings;
    QString* const firstLines[] = {&s.ScanApp,      &s.Parameters, &s.ImageFolder, &s.TestApp,
                                   &s.LocalAET,     &s.WindowCenter, &s.WindowWidth, &s.Remote0,
                                   &s.Remote1,      &s.Remote2,    &s.WorklistIP};
    const QString path = settingsFilePath(m_programFolder);
    switch (step) {
    case 0:
        s.WindowCenter = QStringLiteral("1500");
        s.WindowWidth = QStringLiteral("3000");
        return true;
    case 1:
        if (QFileInfo::exists(path))
            return true;
        showPreferences();
        return false;
    case 2:
        reader.open(path);
        return true;
    case 14: // line 12: the port text, held in WorklistAET until it is converted
        s.WorklistAET = reader.readLine();
        return true;
    case 15:
        s.WorklistPort = parseWorklistPort(s.WorklistAET);
        return true;
    case 16:
        s.WorklistAET = reader.readLine();
        return true;
    case 17:
        s.ScheduledModality = reader.readLine();
        return true;
    case 18:
        s.ScheduledAET = reader.readLine();
        return true;
    case 19:
        s.ScheduledStation = reader.readLine();
        return true;
    case 20:
        cmdTest->setEnabled(s.TestApp.size() > 3);
        cmdWorklist->setEnabled(s.WorklistIP.size() > 3);
        return true;
    default: // steps 3 to 13: lines 1 to 11
        *firstLines[step - 3] = reader.readLine();
        return true;
    }
}

void fSkiascan::showPreferences()
{
    fPrefs dialog(settings, settingsFilePath(m_programFolder), this);
    dialog.exec();
}

void fSkiascan::endProgram(int exitCode)
{
    m_programEnded = true;
    // The exit code is what ends the program here, not the closing window.
    setAttribute(Qt::WA_QuitOnClose, false);
    close();
    emit ended(exitCode);
}

void fSkiascan::runEntryRule(bool multiScanToo)
{
    const StudyRecordTexts record{PATNachname->text(), PATVorname->text(), PATID1->text(), Sex->currentText(),
                                  Bodypart->text(),    StudyDate->text(),  PATGebDatum->text()};
    const bool complete = isRecordComplete(record, QLocale());
    cmdScan->setEnabled(complete);
    if (multiScanToo)
        cmdMultiScan->setEnabled(complete);
}

void fSkiascan::PATNachname_Change()
{
    runEntryRule(true);
    StudyUID.clear();
}

void fSkiascan::PATVorname_Change()
{
    runEntryRule(true);
    StudyUID.clear();
}

void fSkiascan::PAT2Vorname_Change()
{
    runEntryRule(true);
    StudyUID.clear();
}

void fSkiascan::PATGebDatum_Change()
{
    runEntryRule(true);
    StudyUID.clear();
}

void fSkiascan::PATID1_Change()
{
    runEntryRule(true);
    StudyUID.clear();
}

void fSkiascan::Sex_Change()
{
    runEntryRule(true);
    // If this change is part of a selection from the list, Sex_Click follows
    // before control returns to the event loop and puts the study back.
    m_studyUidBeforeSexChange = StudyUID;
    m_sexChangePending = true;
    QTimer::singleShot(0, this, [this] { m_sexChangePending = false; });
    StudyUID.clear();
}

void fSkiascan::Sex_Click()
{
    if (m_sexChangePending) {
        StudyUID = m_studyUidBeforeSexChange;
        m_sexChangePending = false;
    }
    runEntryRule(true);
}

void fSkiascan::Bodypart_Change()
{
    runEntryRule(false);
    StudyUID.clear();
}

void fSkiascan::StudyDate_Change()
{
    runEntryRule(true);
    StudyUID.clear();
}

void fSkiascan::StudyDescritpion_Change()
{
    runEntryRule(true);
    StudyUID.clear();
}

void fSkiascan::SeriesDescription_Change()
{
    StudyUID.clear();
}

void fSkiascan::Images_Change()
{
    runEntryRule(true);
}

void fSkiascan::ScrollFilms_Change()
{
    Films->setText(QString::number(7 - ScrollFilms->value()));
}

void fSkiascan::ScrollImages_Change()
{
    Images->setText(QString::number(100 - ScrollImages->value()));
    Images_Change();
}

void fSkiascan::NewStudy()
{
    const QLocale locale;
    StudyTime = locale.toString(QTime::currentTime(), regionalTimeFormat(locale));
    if (!UIDGenerator)
        UIDGenerator = std::make_unique<dicom::UidGenerator>();
    StudyUID = UIDGenerator->newUid();
}

bool fSkiascan::ImageImport()
{
    if (m_importing)
        return false;
    m_importing = true;
    struct Done {
        bool& flag;
        ~Done() { flag = false; }
    } done{m_importing};

    dicom::Image image;
    try {
        if (WorklistUsed) {
            WorklistUsed = false;
            ImageCounter = 0;
        }
        const QFileInfo scan(ScanFile);
        if (!scan.exists())
            throw dicom::DicomError(QStringLiteral("The scanned file %1 cannot be found.").arg(ScanFile));
        if (scan.size() < 10240) {
            showMessage(this, QMessageBox::Information, QStringLiteral("Skiascan"),
                        QStringLiteral("Importfile to small, scan may be failed!"));
            unsetCursor();
            ScanAborted = true;
            cmdScan->setEnabled(true);
            cmdMultiScan->setEnabled(true);
            return false;
        }
        if (ImageCounter == std::numeric_limits<qint16>::max())
            throw dicom::DicomError(QStringLiteral("The study already holds %1 images; start a new study.").arg(ImageCounter));
        ++ImageCounter;

        const ImageRecord record{PATNachname->text(),      PATVorname->text(),        PAT2Vorname->text(),
                                 PATID1->text(),           PATGebDatum->text(),       Sex->currentText(),
                                 StudyDate->text(),        StudyDescritpion->text(),  SeriesDescription->text(),
                                 AccessionNumber->text(),  Bodypart->text(),          settings.WindowCenter,
                                 settings.WindowWidth};
        image.importFile(ScanFile, QStringLiteral("TIF"));
        setImageProperties(image, record);
        if (!UIDGenerator)
            UIDGenerator = std::make_unique<dicom::UidGenerator>();
        if (StudyUID.isEmpty()) {
            StudyUID = UIDGenerator->newUid();
            StudyTime = imageTimeText(QTime::currentTime());
            ImageCounter = 1;
        }
        const ImageNumbering numbering{StudyUID, StudyTime, UIDGenerator->newUid(), UIDGenerator->newUid(),
                                       ImageCounter};
        addImageAttributes(image, record, numbering, QDate::currentDate(), [] { return QTime::currentTime(); });
    } catch (const std::exception& e) {
        showMessage(this, QMessageBox::Critical, windowTitle(),
                    failureText(QString::fromUtf8(e.what()), QStringLiteral("Maybe scan apported.")));
        ScanAborted = true;
        return false;
    }

    // From here on nothing stops the import: every outcome is reported, and the
    // scanned file goes only when the image is safe at every node or in the outbox.
    const RemoteSettings remotes{settings.Remote0, settings.Remote1, settings.Remote2};
    Outbox outbox(m_programFolder);
    DeliveryReport report;
    runWhileRepainting([&] { report = deliverImage(image, remotes, settings.LocalAET, outbox); });
    if (report.safe())
        QFile::remove(ScanFile);
    reportDelivery(report);

    std::set<int> unreachable;
    for (const NodeFailure& failure : report.failures)
        if (failure.unreachable)
            unreachable.insert(failure.slot);
    sendOutbox(unreachable);
    return true;
}

void fSkiascan::reportDelivery(const DeliveryReport& report)
{
    if (!report.keepFailure.isEmpty()) {
        QString text = report.keepFailure;
        for (const NodeFailure& failure : report.failures)
            text += QStringLiteral("\r\n") + failure.description;
        showMessage(this, QMessageBox::Critical, QStringLiteral("Skiascan"),
                    failureText(text, QStringLiteral("The scanned file stays at %1; nothing is lost, but it will not "
                                                     "be sent again by itself.")
                                          .arg(QDir::toNativeSeparators(ScanFile))));
        return;
    }
    if (report.noNodeConfigured) {
        showMessage(this, QMessageBox::Warning, QStringLiteral("Skiascan"),
                    failureText(QStringLiteral("No destination is set in the Preferences (\"Image send to:\")."),
                                QStringLiteral("The image is kept in the outbox and will be sent once a "
                                               "destination is set.")));
        return;
    }
    if (report.failures.empty())
        return;
    QStringList lines;
    for (const NodeFailure& failure : report.failures)
        lines << failure.description;
    showMessage(this, QMessageBox::Warning, QStringLiteral("Skiascan"),
                failureText(lines.join(QStringLiteral("\r\n")),
                            QStringLiteral("The image is kept in the outbox and will be sent again.")));
}

void fSkiascan::sendOutbox(const std::set<int>& unreachable)
{
    Outbox outbox(m_programFolder);
    if (outbox.count() > 0) {
        const RemoteSettings remotes{settings.Remote0, settings.Remote1, settings.Remote2};
        const QString localAET = settings.LocalAET;
        runWhileRepainting([&] { resendOutbox(outbox, remotes, localAET, unreachable); });
    }
    showOutboxCount();
}

void fSkiascan::showOutboxCount()
{
    const int waiting = Outbox(m_programFolder).count();
    lblOutbox->setText(waiting == 0       ? QString()
                           : waiting == 1 ? QStringLiteral("Outbox: 1 image")
                                          : QStringLiteral("Outbox: %1 images").arg(waiting));
    lblOutbox->setToolTip(waiting == 0 ? QString()
                                       : QStringLiteral("Images that a destination has not confirmed yet. They are "
                                                        "sent again at start-up, after each scan and after the "
                                                        "Preferences."));
}

// ------------------------------------------------------------------ scanning

// The file name for a film starting now. Two films in the same second would get
// the same name: the second one waits for the next second instead.
QString fSkiascan::newScanFile()
{
    for (int attempt = 0; attempt < 5; ++attempt) {
        const QDateTime now = QDateTime::currentDateTime();
        const QString name = scanFileName(settings.ImageFolder, now);
        if (name != m_lastScanFile && !QFileInfo::exists(name)) {
            m_lastScanFile = name;
            return name;
        }
        QEventLoop wait;
        QTimer::singleShot(1001 - now.time().msec(), &wait, &QEventLoop::quit);
        wait.exec(QEventLoop::ExcludeUserInputEvents);
    }
    throw RunError(QStringLiteral("No free file name for the scan in %1.").arg(settings.ImageFolder));
}

// A scanner cannot leave its file where it may not write: say so before it runs.
void fSkiascan::checkImageFolder() const
{
    const QFileInfo folder(settings.ImageFolder);
    if (!folder.isDir())
        throw RunError(QStringLiteral("The scanned image folder %1 does not exist.").arg(settings.ImageFolder));
    if (!folder.isWritable())
        throw RunError(QStringLiteral("The scanned image folder %1 is not writable.").arg(settings.ImageFolder));
}

void fSkiascan::copyTestImage(const QString& target) const
{
    const QString source = QDir(m_programFolder).filePath(QStringLiteral("Test.tif"));
    if (!QFileInfo::exists(source))
        throw RunError(QStringLiteral("File not found: %1").arg(QDir::toNativeSeparators(source)));
    QFile file(source);
    if (!file.copy(target))
        throw RunError(QStringLiteral("The test image cannot be copied to %1: %2")
                           .arg(QDir::toNativeSeparators(target), file.errorString()));
}

// The scan file's readiness, standing in for the archive attribute of the
// platform the scanner was made for: the first tick that sees the file notes
// it, a later tick that finds it unchanged imports it.
bool fSkiascan::scanFileReady()
{
    const QFileInfo file(ScanFile);
    if (!file.exists()) {
        m_scanFileSeen = false;
        return false;
    }
    if (m_scanFileSeen && file.size() == m_scanFileSize && file.lastModified() == m_scanFileModified)
        return true;
    m_scanFileSeen = true;
    m_scanFileSize = file.size();
    m_scanFileModified = file.lastModified();
    return false;
}

void fSkiascan::scanFailed(const std::exception& failure)
{
    setTopMost(this, false);
    showMessage(this, QMessageBox::Critical, QStringLiteral("Skiascan"),
                failureText(QString::fromUtf8(failure.what()), QStringLiteral("Please check Preferences")));
    endScan();
    setTopMost(this, true);
}

void fSkiascan::endScan()
{
    unsetCursor();
    cmdScan->setEnabled(true);
    cmdMultiScan->setEnabled(true);
}

void fSkiascan::cmdScan_Click()
{
    try {
        setCursor(Qt::WaitCursor);
        ScanAborted = false;
        cmdScan->setEnabled(false);
        cmdMultiScan->setEnabled(false);
        checkImageFolder();
        ScanFile = newScanFile();
        if (isScannerProgram(settings.ScanApp))
            RunAndWait(scanCommandLine(settings.ScanApp, FilmPlace::Single, ScanFile, settings.Parameters), 0);
        else
            copyTestImage(ScanFile);
        if (m_closing)
            return;
        m_scanFileSeen = false;
        TimerScan->start();
    } catch (const std::exception& e) {
        scanFailed(e);
    }
}

void fSkiascan::TimerScan_Timer()
{
    if (!scanFileReady())
        return;
    // Stopped before the import, so that no tick can start a second one while
    // the first still runs (its message boxes pump events).
    TimerScan->stop();
    ImageImport();
    endScan();
}

void fSkiascan::cmdMultiScan_Click()
{
    try {
        setCursor(Qt::WaitCursor);
        ScanAborted = false;
        // A scan started from these buttons in the middle of the stack would
        // take over ScanFile and leave a film of the stack behind: they wait.
        cmdScan->setEnabled(false);
        cmdMultiScan->setEnabled(false);
        bool numeric = false;
        const int films = Films->text().toShort(&numeric);
        if (!numeric)
            throw RunError(QStringLiteral("The number of films \"%1\" is not a number.").arg(Films->text()));
        if (films > 0)
            checkImageFolder();
        const bool scanner = isScannerProgram(settings.ScanApp);
        for (int film = 1; film <= films; ++film) {
            ScanFile = newScanFile();
            if (scanner) {
                const FilmPlace place = filmPlace(film, film == 1 ? 1 : Films->text().toShort());
                RunAndWait(scanCommandLine(settings.ScanApp, place, ScanFile, settings.Parameters), 0);
            } else {
                copyTestImage(ScanFile);
            }
            if (m_closing)
                return;
            m_scanFileSeen = false;
            TimerMultiScan->start();
            QEventLoop wait;
            m_filmWait = &wait;
            wait.exec();
            m_filmWait = nullptr;
            if (m_closing)
                return;
            // A film that could not be imported ends the stack: the scanner
            // should not feed further films of a study gone wrong.
            if (scanner && ScanAborted)
                break;
        }
        endScan();
    } catch (const std::exception& e) {
        m_filmWait = nullptr;
        TimerMultiScan->stop();
        scanFailed(e);
    }
}

void fSkiascan::TimerMultiScan_Timer()
{
    if (!scanFileReady())
        return;
    TimerMultiScan->stop();
    ImageImport();
    if (m_filmWait)
        m_filmWait->quit();
}

void fSkiascan::cmdTest_Click()
{
    try {
        const QString folder = testApplicationFolder(settings.TestApp);
        if (folder.isEmpty())
            throw std::invalid_argument(
                QStringLiteral("Invalid argument: the test application \"%1\" names no folder.")
                    .arg(settings.TestApp)
                    .toStdString());
        // Started on its own, in its own folder, so that it outlives this
        // program. Whether it could be started is not examined, as before.
        if (QFileInfo(settings.TestApp).isExecutable())
            QProcess::startDetached(settings.TestApp, {}, folder);
        else
            QProcess::startDetached(QStringLiteral("xdg-open"), {settings.TestApp}, folder);
    } catch (const std::exception& e) {
        showMessage(this, QMessageBox::Critical, windowTitle(),
                    failureText(QString::fromUtf8(e.what()), QStringLiteral("Please check preferences")));
        return;
    }
    endProgram(EXIT_SUCCESS);
}

void fSkiascan::closeEvent(QCloseEvent* event)
{
    m_closing = true;
    TimerScan->stop();
    TimerMultiScan->stop();
    if (m_filmWait)
        m_filmWait->quit();
    QMainWindow::closeEvent(event);
}

void fSkiascan::cmdWorklist_Click()
{
    setTopMost(this, false);
    {
        fWorklist dialog(*this);
        dialog.exec();
    }
    setTopMost(this, true);
    // Confirmed or cancelled, the next image starts its numbering at 1.
    WorklistUsed = true;
}

void fSkiascan::cmdNew_Click()
{
    StudyUID.clear();
}

void fSkiascan::cmdCancel_Click()
{
    close();
}

void fSkiascan::cmdPrefs_Click()
{
    setTopMost(this, false);
    showPreferences();
    setTopMost(this, true);
    if (!Form_Load()) {
        endProgram(EXIT_FAILURE);
        return;
    }
    sendOutbox();
}

void fSkiascan::mnuHelp_Click()
{
    showMessage(this, QMessageBox::Information, QStringLiteral("Skiascan"),
                QStringLiteral("Skiascan Version %1.%2.%3")
                    .arg(SKIASCAN_VERSION_MAJOR)
                    .arg(SKIASCAN_VERSION_MINOR)
                    .arg(SKIASCAN_VERSION_PATCH));
}

void fSkiascan::keyPressEvent(QKeyEvent* event)
{
    switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        // A focused button takes Enter itself; elsewhere Enter means Single Scan.
        if (auto* focused = qobject_cast<QPushButton*>(focusWidget()))
            focused->click();
        else if (cmdScan->isEnabled())
            cmdScan->click();
        return;
    case Qt::Key_Escape:
        cmdCancel->click();
        return;
    default:
        QMainWindow::keyPressEvent(event);
    }
}

} // namespace skiascan
