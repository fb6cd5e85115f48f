#include "worklist/worklist_dialog.h"

#include "common/background.h"
#include "common/failure.h"
#include "common/text.h"
#include "dicom/network.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QHeaderView>
#include <QMessageBox>
#include <QPushButton>
#include <QStyle>
#include <QTimer>
#include <QTreeWidget>


namespace skiascan {

int fWorklist::LogDay = 0;
const QString fWorklist::kCaption = QStringLiteral("X-Ray Skiascan Dicom Modality Worklist");

namespace {

constexpr int kTwipsPerPixel = 15;
constexpr qint64 kEventInterval = 20; // milliseconds between event processing while the list fills
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

fWorklist::fWorklist(const WorklistStation& station, const QString& programFolder, QWidget* mainWindow)
    : QDialog(mainWindow)
    , m_station(station)
    , m_programFolder(programFolder)
    , m_main(mainWindow)
{
    setObjectName(QStringLiteral("fWorklist"));
    setWindowTitle(kCaption);

    lvWorklist = new QTreeWidget(this);
    lvWorklist->setObjectName(QStringLiteral("lvWorklist"));
    lvWorklist->setRootIsDecorated(false);
    lvWorklist->setUniformRowHeights(true);
    lvWorklist->setAllColumnsShowFocus(true);
    lvWorklist->setSelectionMode(QAbstractItemView::SingleSelection);
    lvWorklist->setSelectionBehavior(QAbstractItemView::SelectRows);
    lvWorklist->setHeaderLabels({QStringLiteral("Time"), QStringLiteral("Last Name"), QStringLiteral("First Name"),
                                 QStringLiteral("Middle Initial"), QStringLiteral("Birthdate"), QStringLiteral("ID"),
                                 QStringLiteral("Sex"), QStringLiteral("Bodypart"), QStringLiteral("Accession Number")});
    // The dialog sorts itself on header clicks (setSortingEnabled(false) would
    // also make the headers unclickable, so it comes first).
    lvWorklist->setSortingEnabled(false);
    lvWorklist->header()->setSectionsClickable(true);
    lvWorklist->header()->setStretchLastSection(false);

    cmdOK = new QPushButton(QStringLiteral("OK"), this);
    cmdOK->setObjectName(QStringLiteral("cmdOK"));
    cmdOK->setDefault(true);
    cmdCancel = new QPushButton(QStringLiteral("Cancel"), this);
    cmdCancel->setObjectName(QStringLiteral("cmdCancel"));
    cmdCancel->setAutoDefault(false);

    connect(lvWorklist->header(), &QHeaderView::sectionClicked, this,
            [this](int section) { lvWorklist_ColumnClick(section + 1); });
    connect(lvWorklist, &QTreeWidget::itemDoubleClicked, this, &fWorklist::cmdOK_Click);
    connect(cmdOK, &QPushButton::clicked, this, &fWorklist::cmdOK_Click);
    connect(cmdCancel, &QPushButton::clicked, this, &QDialog::reject);

    Form_Load();
}

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

void fWorklist::done(int result)
{
    m_closed = true;
    QDialog::done(result);
}

void fWorklist::Form_Activate()
{
    const QString caption = windowTitle();
    setWindowTitle(caption + QStringLiteral(" (querying, please wait ...)"));
    setCursor(Qt::WaitCursor);
    repaint();
    lvWorklist->clear();
    m_scheduled.clear();
    const std::optional<dicom::DataSetCollection> results = QueryWorklist();
    if (!results || m_closed)
        return;
    SaveData(*results);
    appendWorklistLog(m_programFolder, QStringLiteral("C-FIND %1 (%2:%3): %4 entries")
                                           .arg(m_station.calledAETitle, m_station.host)
                                           .arg(m_station.port)
                                           .arg(results->count()));
    if (m_closed)
        return;
    if (lvWorklist->topLevelItemCount() > 0) {
        sortBy(0, true);
        lvWorklist->setCurrentItem(lvWorklist->topLevelItem(0));
    } else {
        cmdOK->setEnabled(false);
    }
    setWindowTitle(caption);
    unsetCursor();
}

namespace {

// A query in the background: its guard lets Cancel end it at once.
struct PendingQuery {
    explicit PendingQuery(std::chrono::seconds deadline)
        : guard(deadline)
    {
    }
    dicom::NetworkGuard guard;
    dicom::DataSetCollection results;
    std::exception_ptr failure;
    bool done = false;
};

} // namespace

std::optional<dicom::DataSetCollection> fWorklist::QueryWorklist()
{
    auto query = std::make_shared<PendingQuery>(std::chrono::seconds(m_station.limits.deadlineSeconds));
    BackgroundTask task;
    {
        // The dialog stays alive meanwhile: Cancel, Esc and the close box end
        // the query at once; input elsewhere is dropped.
        const InputBlock block(this);
        QEventLoop wait;
        task.start(
            [query, station = m_station, today = QDate::currentDate()](const CancelFlag&) {
                query->results = queryWorklist(station, today, &query->guard);
            },
            [query, &wait](std::exception_ptr failure) {
                query->failure = failure;
                query->done = true;
                wait.quit();
            },
            [query] { query->guard.cancel(); });
        connect(this, &QDialog::finished, &wait, &QEventLoop::quit);
        wait.exec();
    }
    if (m_closed) {
        // Cut short at once; the task waits for its thread when it goes.
        task.cancel();
        appendWorklistLog(m_programFolder, QStringLiteral("C-FIND cancelled"));
        return std::nullopt;
    }
    try {
        if (query->failure)
            std::rethrow_exception(query->failure);
        for (int i = 0; i < 3; ++i)
            QCoreApplication::processEvents();
        return std::move(query->results);
    } catch (const std::exception& e) {
        appendWorklistLog(m_programFolder, QStringLiteral("C-FIND failed: %1").arg(describe(e)));
        QMessageBox box(QMessageBox::Critical, m_main->windowTitle(),
                        failureText(describe(e), QStringLiteral("Worklist-Query failed.")), QMessageBox::Ok, this);
        box.exec();
        reject();
        return std::nullopt;
    }
}

void fWorklist::SaveData(const dicom::DataSetCollection& results)
{
    LogDay = tidyWorklistLog(m_programFolder, LogDay, QDate::currentDate());
    const QLocale locale;
    // Events are processed between rows, but not more often than every few
    // milliseconds: a repaint per row would make a long list fill slowly.
    QElapsedTimer sinceEvents;
    sinceEvents.start();
    for (int i = 1; i <= results.count(); ++i) {
        auto* item = new WorklistItem(lvWorklist);
        WorklistRow row;
        bool complete = true;
        try {
            fillWorklistRow(results.item(i), row, locale);
        } catch (const std::exception&) {
            complete = false; // the cells filled so far are shown, later entries are not
        }
        for (int column = 0; column < 9; ++column)
            item->setText(column, row[static_cast<std::size_t>(column)]);
        // An entry with text that cannot be read is marked, and says which.
        const QStringList unreadable = unreadableFields(results.item(i));
        if (!unreadable.isEmpty()) {
            item->setIcon(kLastName, style()->standardIcon(QStyle::SP_MessageBoxWarning));
            for (int column = 0; column < 9; ++column)
                item->setToolTip(column, QStringLiteral("Cannot be read in its character set: %1")
                                             .arg(unreadable.join(QStringLiteral(", "))));
            item->setData(0, Qt::UserRole, unreadable);
        }
        if (m_station.scheduledStudy) {
            try {
                m_scheduled.push_back(scheduledStudyOf(results.item(i)));
            } catch (const std::exception&) {
                m_scheduled.emplace_back(); // an order that cannot be read: the study is made here
            }
            item->setData(0, kScheduledRole, static_cast<qulonglong>(m_scheduled.size() - 1));
        }
        if (!complete)
            return;
        if (i == 1 || sinceEvents.hasExpired(kEventInterval)) {
            QCoreApplication::processEvents();
            sinceEvents.restart();
            if (m_closed)
                return;
        }
    }
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
    if (!item || !item->isSelected())
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
