// fWorklist, the worklist dialog: today's scheduled procedure steps at this
// station, sortable by any column; OK (or a double-click) picks one, which the
// main window then copies into its study fields. The query runs in the
// background, with its progress and Cancel in the dialog.
#pragma once

#include "common/background.h"
#include "dicom/data_set.h"
#include "worklist/worklist_entries.h"
#include "worklist/worklist_query.h"

#include <QDialog>
#include <QTimer>

#include <memory>
#include <optional>

class QLabel;
class QProgressBar;
class QPushButton;
class QTreeWidget;

namespace skiascan {

class fWorklist : public QDialog {
    Q_OBJECT

public:
    /// A dialog over `mainWindow` (its size, place, caption and font), asking
    /// the station's worklist server; the log folder is in `programFolder`.
    fWorklist(const WorklistStation& station, const QString& programFolder, QWidget* mainWindow);
    /// Ends a query under way at once (its connection is cut).
    ~fWorklist() override;

    /// The row the operator picked with OK or a double-click; nothing when the
    /// dialog was cancelled or the query failed.
    const std::optional<WorklistRow>& chosen() const { return m_chosen; }
    /// The fields of the chosen entry that could not be read (left empty).
    QStringList chosenUnreadable() const { return m_chosenUnreadable; }
    /// What the chosen entry scheduled, when the station asked for it
    /// (WorklistStation::scheduledStudy).
    const std::optional<dicom::ScheduledStudy>& chosenStudy() const { return m_chosenStudy; }

    /// Lists the answers, one row each, after tidying the log folder. The first
    /// rows are listed before it returns; a long list goes on in steps from the
    /// event loop, between which the dialog answers (closing it ends the
    /// filling). An answer that cannot be listed ends the filling; the rows so
    /// far stay. Once all are listed, the list is sorted by time, its first row
    /// selected and its columns fitted.
    void SaveData(dicom::DataSetCollection results);

    QTreeWidget* lvWorklist = nullptr;
    QPushButton* cmdOK = nullptr;
    QPushButton* cmdCancel = nullptr;
    /// While the query runs and the list fills: what is asked, a busy bar.
    QWidget* queryProgress = nullptr;
    QLabel* lblProgress = nullptr;
    QProgressBar* barProgress = nullptr;

    /// The zero-based column the list is sorted by, and its direction.
    qint16 SortColumn = 0;
    bool SortAscending = true;

    /// The day of the month on which the log file was last cleared; kept for as
    /// long as the program runs.
    static int LogDay;

    static const QString kCaption;

protected:
    void showEvent(QShowEvent* event) override;
    void done(int result) override;

private:
    void Form_Load();
    void Form_Activate();
    void QueryWorklist();
    void queryEnded(std::exception_ptr failure);
    void fillStep();
    void listed();
    void fitColumns();
    void lvWorklist_ColumnClick(int column);
    void sortBy(int column, bool ascending);
    void cmdOK_Click();
    QString serverName() const;

    struct PendingQuery;

    WorklistStation m_station;
    QString m_programFolder;
    QWidget* m_main;
    std::optional<WorklistRow> m_chosen;
    QStringList m_chosenUnreadable;
    std::optional<dicom::ScheduledStudy> m_chosenStudy;
    std::vector<dicom::ScheduledStudy> m_scheduled; // per answer, when asked for; rows hold the index
    bool m_activated = false;
    BackgroundTask m_query;                // the C-FIND, on a thread of its own
    std::shared_ptr<PendingQuery> m_pending;
    dicom::DataSetCollection m_answers;    // what is being listed
    int m_nextAnswer = 0;                  // the next one to list, from 1; 0 when not filling
    QTimer m_fill;                         // the next step of the filling
};

} // namespace skiascan
