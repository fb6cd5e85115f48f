#include "worklist/worklist_dialog.h"

#include "common/failure.h"
#include "common/program_log.h"
#include "common/text.h"
#include "dicom/network.h"

#include <QElapsedTimer>
#include <QFontMetrics>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QStyle>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <algorithm>

namespace skiascan {

int fWorklist::LogDay = 0;
const QString fWorklist::kCaption = QStringLiteral("X-Ray Skiascan Dicom Modality Worklist");

namespace {

constexpr int kTwipsPerPixel = 15;
constexpr int kRowsPerStep = 250;                // at most, between two looks at the event loop
constexpr qint64 kStepMilliseconds = 20;         // and no longer than this
constexpr int kScheduledRole = Qt::UserRole + 1; // the row's place in m_scheduled

int pixels(int twips)
{
    return twips / kTwipsPerPixel;
}

// Rows compare their cells as text, regardless of letter case.
class WorklistItem : public QTreeWidgetItem {
public:
    using QTreeWidgetItem::QTreeWidgetItem;
    bool operator<(const QTreeWidgetItem& other) const override
    {
        const int column = treeWidget() ? treeWidget()->sortColumn() : 0;
        return text(column).compare(other.text(column), Qt::CaseInsensitive) < 0;
    }
};

} // namespace

// A query in the background: its guard lets Cancel end it at once.
struct fWorklist::PendingQuery {
    explicit PendingQuery(std::chrono::seconds deadline)
        : guard(deadline)
    {
    }
    dicom::NetworkGuard guard;
    dicom::DataSetCollection results;
};

fWorklist::fWorklist(const WorklistStation& station, const QString& programFolder, QWidget* mainWindow)
    : QDialog(mainWindow)
    , m_station(station)
    , m_programFolder(programFolder)
    , m_main(mainWindow)
{
    setObjectName(QStringLiteral("fWorklist"));
    setWindowTitle(kCaption);
    // A window does not take its parent's font by itself: the list reads as
    // the main window does.
    setFont(mainWindow->font());

    lvWorklist = new QTreeWidget(this);
    lvWorklist->setObjectName(QStringLiteral("lvWorklist"));
    lvWorklist->setRootIsDecorated(false);
    lvWorklist->setUniformRowHeights(true);
    lvWorklist->setAllColumnsShowFocus(true);
    lvWorklist->setSelectionMode(QAbstractItemView::SingleSelection);
    lvWorklist->setSelectionBehavior(QAbstractItemView::SelectRows);
    lvWorklist->setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    const QStringList headers{QStringLiteral("Time"),     QStringLiteral("Last Name"), QStringLiteral("First Name"),
                              QStringLiteral("Middle Initial"), QStringLiteral("Birthdate"), QStringLiteral("ID"),
                              QStringLiteral("Sex"),      QStringLiteral("Bodypart"),  QStringLiteral("Accession Number")};
    lvWorklist->setHeaderLabels(headers);
    for (int column = 0; column < headers.size(); ++column)
        lvWorklist->headerItem()->setToolTip(column, headers[column]);
    // The dialog sorts itself on header clicks (setSortingEnabled(false) would
    // also make the headers unclickable, so it comes first). The operator can
    // widen any column.
    lvWorklist->setSortingEnabled(false);
    lvWorklist->header()->setSectionsClickable(true);
    lvWorklist->header()->setStretchLastSection(false);
    lvWorklist->header()->setSectionResizeMode(QHeaderView::Interactive);

    cmdOK = new QPushButton(QStringLiteral("OK"), this);
    cmdOK->setObjectName(QStringLiteral("cmdOK"));
    cmdOK->setDefault(true);
    cmdCancel = new QPushButton(QStringLiteral("Cancel"), this);
    cmdCancel->setObjectName(QStringLiteral("cmdCancel"));
    cmdCancel->setAutoDefault(false);

    // Over the list while the query runs: what is asked and a busy bar; the
    // dialog's Cancel ends it.
    queryProgress = new QWidget(this);
    queryProgress->setObjectName(QStringLiteral("queryProgress"));
    queryProgress->setAutoFillBackground(true);
    lblProgress = new QLabel(queryProgress);
    lblProgress->setObjectName(QStringLiteral("lblProgress"));
    lblProgress->setAlignment(Qt::AlignCenter);
    lblProgress->setWordWrap(true);
    barProgress = new QProgressBar(queryProgress);
    barProgress->setObjectName(QStringLiteral("barProgress"));
    barProgress->setTextVisible(false);
    auto* progressLayout = new QVBoxLayout(queryProgress);
    progressLayout->addStretch(1);
    progressLayout->addWidget(lblProgress);
    progressLayout->addWidget(barProgress);
    progressLayout->addStretch(1);
    queryProgress->hide();

    m_fill.setSingleShot(true);
    m_fill.setInterval(0);
    connect(&m_fill, &QTimer::timeout, this, &fWorklist::fillStep);
    connect(lvWorklist->header(), &QHeaderView::sectionClicked, this,
            [this](int section) { lvWorklist_ColumnClick(section + 1); });
    connect(lvWorklist, &QTreeWidget::itemDoubleClicked, this, &fWorklist::cmdOK_Click);
    connect(cmdOK, &QPushButton::clicked, this, &fWorklist::cmdOK_Click);
    connect(cmdCancel, &QPushButton::clicked, this, &QDialog::reject);

    Form_Load();
}

fWorklist::~fWorklist() = default;

// Lays the dialog over the main window, at the main window's size, and sizes the
// list and its columns from it.
void fWorklist::Form_Load()
{
    const QSize size = m_main->size();
    setFixedSize(size);
    const WorklistLayout layout = worklistLayout(size.width() * kTwipsPerPixel, size.height() * kTwipsPerPixel);
    cmdOK->setGeometry(pixels(layout.buttonLeft), pixels(120), pixels(855), pixels(495));
    cmdCancel->setGeometry(pixels(layout.buttonLeft), pixels(720), pixels(855), pixels(495));
    lvWorklist->setGeometry(pixels(layout.listLeft), pixels(120), pixels(layout.listWidth), pixels(layout.listHeight));
    for (int column = 0; column < 9; ++column)
        lvWorklist->setColumnWidth(column, pixels(layout.columnWidths[static_cast<std::size_t>(column)]));
    const QRect list = lvWorklist->geometry();
    queryProgress->setGeometry(list.adjusted(list.width() / 8, list.height() / 4, -list.width() / 8, -list.height() / 4));
    move(m_main->frameGeometry().center() - QPoint(size.width() / 2, size.height() / 2));
}

void fWorklist::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    if (!m_activated) {
        m_activated = true;
        // After the dialog has appeared, as activation follows the showing.
        QTimer::singleShot(0, this, &fWorklist::Form_Activate);
    }
}

// Cancel, Esc and the close box end a query under way at once (its
// connection is cut), and the filling of the list.
void fWorklist::done(int result)
{
    m_fill.stop();
    m_nextAnswer = 0;
    if (m_query.running()) {
        m_query.stop();
        appendWorklistLog(m_programFolder, QStringLiteral("C-FIND cancelled"));
        programlog::event(QStringLiteral("worklist query to %1 cancelled by the operator").arg(serverName()));
    }
    QDialog::done(result);
}

QString fWorklist::serverName() const
{
    return dicom::nodeName(m_station.calledAETitle, m_station.host, m_station.port);
}

void fWorklist::Form_Activate()
{
    setWindowTitle(kCaption + QStringLiteral(" (querying, please wait ...)"));
    setCursor(Qt::WaitCursor);
    lvWorklist->clear();
    m_scheduled.clear();
    cmdOK->setEnabled(false);
    lblProgress->setText(QStringLiteral("Asking the worklist server %1 for today's entries ...").arg(serverName()));
    barProgress->setRange(0, 0); // busy, for as long as the server takes
    queryProgress->show();
    queryProgress->raise();
    cmdCancel->setFocus();
    QueryWorklist();
}

// The query runs in the background; queryEnded() takes its answers.
void fWorklist::QueryWorklist()
{
    m_pending = std::make_shared<PendingQuery>(std::chrono::seconds(m_station.limits.deadlineSeconds));
    m_query.start(
        [query = m_pending, station = m_station, today = QDate::currentDate()](const CancelFlag&) {
            query->results = queryWorklist(station, today, &query->guard);
        },
        [this](std::exception_ptr failure) { queryEnded(failure); },
        [query = m_pending] { query->guard.cancel(); });
}

void fWorklist::queryEnded(std::exception_ptr failure)
{
    const std::shared_ptr<PendingQuery> query = std::move(m_pending);
    if (!failure) {
        appendWorklistLog(m_programFolder, QStringLiteral("C-FIND %1 (%2:%3): %4 entries")
                                               .arg(m_station.calledAETitle, m_station.host)
                                               .arg(m_station.port)
                                               .arg(query->results.count()));
        SaveData(std::move(query->results));
        return;
    }
    // The operator reads what happened in plain words; the network's own
    // account goes to the logs.
    QString plain;
    try {
        std::rethrow_exception(failure);
    } catch (const std::exception& e) {
        appendWorklistLog(m_programFolder, QStringLiteral("C-FIND failed: %1").arg(logText(e)));
        programlog::event(QStringLiteral("worklist query failed: %1").arg(logText(e)));
        plain = plainNodeFailure(e, QStringLiteral("The worklist server %1").arg(serverName()));
    }
    queryProgress->hide();
    unsetCursor();
    auto* box = new QMessageBox(QMessageBox::Critical, m_main->windowTitle(),
                                failureText(plain, QStringLiteral("Worklist-Query failed.")), QMessageBox::Ok, this);
    box->setAttribute(Qt::WA_DeleteOnClose);
    connect(box, &QMessageBox::finished, this, &QDialog::reject);
    box->open();
}

void fWorklist::SaveData(dicom::DataSetCollection results)
{
    LogDay = tidyWorklistLog(m_programFolder, LogDay, QDate::currentDate());
    m_answers = std::move(results);
    m_nextAnswer = 1;
    barProgress->setRange(0, std::max(1, m_answers.count()));
    fillStep();
}

// Lists the next answers, a few at a time, so that the dialog answers while a
// long list fills.
void fWorklist::fillStep()
{
    if (m_nextAnswer < 1)
        return;
    const QLocale locale;
    QElapsedTimer step;
    step.start();
    for (int rows = 0; m_nextAnswer <= m_answers.count(); ++m_nextAnswer, ++rows) {
        if (rows == kRowsPerStep || step.hasExpired(kStepMilliseconds)) {
            lblProgress->setText(QStringLiteral("Listing %1 of %2 entries ...").arg(m_nextAnswer - 1).arg(m_answers.count()));
            barProgress->setValue(m_nextAnswer - 1);
            m_fill.start();
            return;
        }
        const dicom::DataSet& answer = m_answers.item(m_nextAnswer);
        auto* item = new WorklistItem(lvWorklist);
        WorklistRow row;
        bool complete = true;
        try {
            fillWorklistRow(answer, row, locale);
        } catch (const std::exception&) {
            complete = false; // the cells filled so far are shown, later entries are not
        }
        // An entry with text that cannot be read is marked, and says which.
        const QStringList unreadable = unreadableFields(answer);
        const QString warning = unreadable.isEmpty()
            ? QString()
            : QStringLiteral("Cannot be read in its character set: %1").arg(unreadable.join(QStringLiteral(", ")));
        for (int column = 0; column < 9; ++column) {
            const QString& text = row[static_cast<std::size_t>(column)];
            item->setText(column, text);
            // Every value can be read whole on hover, however narrow its column.
            item->setToolTip(column, warning.isEmpty() ? text
                                     : text.isEmpty()  ? warning
                                                       : text + QLatin1Char('\n') + warning);
        }
        if (!unreadable.isEmpty()) {
            item->setIcon(kLastName, style()->standardIcon(QStyle::SP_MessageBoxWarning));
            item->setData(0, Qt::UserRole, unreadable);
        }
        if (m_station.scheduledStudy) {
            try {
                m_scheduled.push_back(scheduledStudyOf(answer));
            } catch (const std::exception&) {
                m_scheduled.emplace_back(); // an order that cannot be read: the study is made here
            }
            item->setData(0, kScheduledRole, static_cast<qulonglong>(m_scheduled.size() - 1));
        }
        if (!complete)
            break;
    }
    m_nextAnswer = 0;
    m_answers = {};
    listed();
}

void fWorklist::listed()
{
    queryProgress->hide();
    if (lvWorklist->topLevelItemCount() > 0) {
        sortBy(0, true);
        lvWorklist->setCurrentItem(lvWorklist->topLevelItem(0));
        fitColumns();
        cmdOK->setEnabled(true);
        lvWorklist->setFocus();
    } else {
        cmdOK->setEnabled(false);
    }
    setWindowTitle(kCaption);
    unsetCursor();
}

// What the operator checks against the patient (time, birth date, ID, sex,
// accession number, middle initial) is shown whole; the names and the body
// part share the rest of the list's width, cut short where they must be (the
// whole text on hover, and the operator can widen any column). A caption gives
// way to the values: it is cut short in a narrow column (and whole on hover).
void fWorklist::fitColumns()
{
    const QFontMetrics cells(lvWorklist->font());
    const QFontMetrics captions(lvWorklist->header()->font());
    // The cell's own margins (as the item delegate draws it) and a little air.
    const int padding = 2 * (lvWorklist->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, lvWorklist) + 1) + 4;
    const int icon = lvWorklist->style()->pixelMetric(QStyle::PM_SmallIconSize, nullptr, lvWorklist) + 4;
    const auto contentWidth = [&](int column) {
        int widest = 0;
        for (int row = 0; row < lvWorklist->topLevelItemCount(); ++row) {
            const QTreeWidgetItem* item = lvWorklist->topLevelItem(row);
            widest = std::max(widest, cells.horizontalAdvance(item->text(column)) + (item->icon(column).isNull() ? 0 : icon));
        }
        return widest + padding;
    };
    // Each column of values shown whole, and as much of its caption as this
    // allows (the sort mark needs room too).
    const struct {
        int column;
        int captionRoom;
    } whole[] = {{kTime, 48}, {kMiddleInitial, 32}, {kBirthdate, 48}, {kId, 48}, {kSex, 32}, {kAccessionNumber, 48}};
    int room = lvWorklist->viewport()->width() - 2;
    for (const auto& [column, captionRoom] : whole) {
        const int caption = captions.horizontalAdvance(lvWorklist->headerItem()->text(column)) + padding + 12;
        const int width = std::max(contentWidth(column), std::min(caption, captionRoom));
        lvWorklist->setColumnWidth(column, width);
        room -= width;
    }
    // The rest goes to the names and the body part: each as much as it needs
    // of an even share, what one leaves over to the others.
    std::vector<std::pair<int, int>> shared; // wanted width, column
    for (int column : {kLastName, kFirstName, kBodypart})
        shared.emplace_back(contentWidth(column), column);
    std::sort(shared.begin(), shared.end());
    room = std::max(room, 0);
    for (std::size_t i = 0; i < shared.size(); ++i) {
        const auto& [wanted, column] = shared[i];
        const int share = room / static_cast<int>(shared.size() - i);
        const int width = std::max(std::min(wanted, share), 40);
        lvWorklist->setColumnWidth(column, i + 1 == shared.size() ? std::max(room, 40) : width);
        room = std::max(room - width, 0);
    }
    lvWorklist->doItemsLayout(); // the scroll bars follow the new widths
}

void fWorklist::sortBy(int column, bool ascending)
{
    const Qt::SortOrder order = ascending ? Qt::AscendingOrder : Qt::DescendingOrder;
    lvWorklist->sortItems(column, order);
    lvWorklist->header()->setSortIndicator(column, order);
    lvWorklist->header()->setSortIndicatorShown(true);
    SortColumn = static_cast<qint16>(column);
    SortAscending = ascending;
}

void fWorklist::lvWorklist_ColumnClick(int column)
{
    const int key = column - 1;
    if (key == SortColumn)
        sortBy(key, !SortAscending);
    else
        sortBy(key, true);
}

void fWorklist::cmdOK_Click()
{
    QTreeWidgetItem* item = lvWorklist->currentItem();
    if (!item || !item->isSelected() || !cmdOK->isEnabled())
        return;
    WorklistRow row;
    for (int column = 0; column < 9; ++column)
        row[static_cast<std::size_t>(column)] = item->text(column);
    m_chosen = row;
    m_chosenUnreadable = item->data(0, Qt::UserRole).toStringList();
    if (m_station.scheduledStudy)
        m_chosenStudy = m_scheduled.at(item->data(0, kScheduledRole).toULongLong());
    accept();
}

} // namespace skiascan
