// fSkiascan: building the controls, the keys and closing the window.

#include "app/main_window.h"

#include "app/film_view_link.h"
#include "app/window_helpers.h"
#include "common/program_log.h"
#include "delivery/outbox_dialog.h"
#include "dicom/dicom_toolkit.h"

#include <QAction>
#include <QCloseEvent>
#include <QComboBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QScrollBar>
#include <QTimer>

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
    programlog::open(programFolder);
    dicom::startToolkitLog(programFolder);
    m_session = std::make_unique<ScanSession>(programFolder, static_cast<SessionOperator&>(*this));
    buildControls();
    m_filmView = new FilmViewLink(*this);
    connect(m_session.get(), &ScanSession::stateChanged, this, &fSkiascan::showSessionState);
    connect(m_session.get(), &ScanSession::outboxChanged, this, &fSkiascan::showSessionState);
    DeliveryService& delivery = m_session->delivery();
    connect(&delivery, &DeliveryService::changed, this, &fSkiascan::showSessionState);
    connect(&delivery, &DeliveryService::outboxChanged, this, &fSkiascan::showOutbox);
    connect(&delivery, &DeliveryService::nodeDown, this, &fSkiascan::nodeDown);
    connect(&delivery, &DeliveryService::nodeBack, this, &fSkiascan::nodeBack);
    m_backNoticeTimer = new QTimer(this);
    m_backNoticeTimer->setSingleShot(true);
    connect(m_backNoticeTimer, &QTimer::timeout, this, [this] {
        m_backNotice.clear();
        showSessionState();
    });
    connect(m_session.get(), &ScanSession::readyToEnd, this, [this] {
        // The session is done: the window closes, and with it the program. A
        // question whether to end without the film has its answer now; a
        // message the operator has not yet read is read first.
        if (m_endQuestion)
            m_endQuestion->close();
        m_openBoxes.removeAll(nullptr);
        if (!m_openBoxes.isEmpty() && !m_programEnded) {
            m_endingAfterNotices = true;
            return;
        }
        if (!m_programEnded)
            close();
        emit ended(EXIT_SUCCESS);
    });
}

fSkiascan::~fSkiascan()
{
    // The outbox window and the film view show the session's delivery: they go first.
    delete m_outboxDialog.data();
    delete m_filmView;
}

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
    // The narrow button's caption needs a narrower face to stay inside its frame.
    QFont narrowCaption = cmdTest->font();
    narrowCaption.setStretch(88);
    cmdTest->setFont(narrowCaption);
    lblOutbox = new ClickableLabel(client);
    lblOutbox->setObjectName(QStringLiteral("lblOutbox"));
    lblOutbox->setGeometry(376, 291, 137, 32);
    lblOutbox->setAlignment(Qt::AlignCenter);
    lblOutbox->setWordWrap(true);
    lblOutbox->setCursor(Qt::PointingHandCursor);

    QWidget* tabOrder[] = {PATNachname, PATVorname, PAT2Vorname, PATGebDatum, PATID1, AccessionNumber,
                           Sex, Bodypart, StudyDate, StudyDescritpion, SeriesDescription, Films,
                           ScrollFilms, Images, ScrollImages, cmdWorklist, cmdScan, cmdMultiScan,
                           cmdPrefs, cmdNew, cmdTest, cmdCancel};
    for (std::size_t i = 1; i < std::size(tabOrder); ++i)
        setTabOrder(tabOrder[i - 1], tabOrder[i]);

    mnuHelp = menuBar()->addAction(QStringLiteral("?"));
    mnuHelp->setObjectName(QStringLiteral("mnuHelp"));

    setFixedSize(kClientWidth, kClientHeight + menuBar()->sizeHint().height());
    connectHandlers();
}

void fSkiascan::connectHandlers()
{
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
    connect(cmdMultiScan, &QPushButton::clicked, this, &fSkiascan::cmdMultiScan_Click);
    connect(cmdTest, &QPushButton::clicked, this, &fSkiascan::cmdTest_Click);
    connect(cmdWorklist, &QPushButton::clicked, this, &fSkiascan::cmdWorklist_Click);
    connect(cmdNew, &QPushButton::clicked, this, &fSkiascan::cmdNew_Click);
    connect(cmdCancel, &QPushButton::clicked, this, &fSkiascan::cmdCancel_Click);
    connect(cmdPrefs, &QPushButton::clicked, this, &fSkiascan::cmdPrefs_Click);
    connect(mnuHelp, &QAction::triggered, this, &fSkiascan::mnuHelp_Click);
    connect(lblOutbox, &ClickableLabel::clicked, this, &fSkiascan::lblOutbox_Click);
}

void fSkiascan::keyPressEvent(QKeyEvent* event)
{
    switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        // A focused button takes Enter itself; elsewhere Enter means Single Scan,
        // but never while a scan runs. A record that cannot be scanned says why.
        if (auto* focused = qobject_cast<QPushButton*>(focusWidget()))
            focused->click();
        else if (cmdScan->isEnabled() && m_session->idle())
            cmdScan->click();
        else if (m_session->idle())
            explainRefusal();
        return;
    case Qt::Key_Escape:
        cmdCancel->click();
        return;
    default:
        QMainWindow::keyPressEvent(event);
    }
}

// Quit, Esc or the close box. Idle, the program ends. During a scan it ends
// once the film is safe; a second Quit, or a scanner that has not finished 30
// seconds later, asks whether to end without the film.
void fSkiascan::closeEvent(QCloseEvent* event)
{
    if (!m_programEnded && !m_session->requestEnd()) {
        event->ignore();
        showSessionState();
        return;
    }
    QMainWindow::closeEvent(event);
}

} // namespace skiascan
