// fWorklist, the worklist dialog: today's scheduled procedure steps at this
// station, sortable by any column; OK (or a double-click) picks one, which the
// main window then copies into its study fields.
#pragma once

#include "dicom/data_set.h"
#include "worklist/worklist_entries.h"
#include "worklist/worklist_query.h"

#include <QDialog>

#include <optional>

class QPushButton;
class QTreeWidget;

namespace skiascan {

class fWorklist : public QDialog {
    Q_OBJECT

public:
    /// A dialog over `mainWindow` (its size, place and caption), asking the
    /// station's worklist server; the log folder is in `programFolder`.
    fWorklist(const WorklistStation& station, const QString& programFolder, QWidget* mainWindow);

    /// The row the operator picked with OK or a double-click; nothing when the
    /// dialog was cancelled or the query failed.
    const std::optional<WorklistRow>& chosen() const { return m_chosen; }
    /// The fields of the chosen entry that could not be read (left empty).
    QStringList chosenUnreadable() const { return m_chosenUnreadable; }
    /// What the chosen entry scheduled, when the station asked for it
    /// (WorklistStation::scheduledStudy).
    const std::optional<dicom::ScheduledStudy>& chosenStudy() const { return m_chosenStudy; }

    /// Lists the answers, one row each, after tidying the log folder. Events are
    /// processed after every row, so the dialog answers while a long list fills.
    /// An answer that cannot be listed ends the filling; the rows so far stay.
    void SaveData(const dicom::DataSetCollection& results);

    QTreeWidget* lvWorklist = nullptr;
    QPushButton* cmdOK = nullptr;
    QPushButton* cmdCancel = nullptr;

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
    std::optional<dicom::DataSetCollection> QueryWorklist();
    void lvWorklist_ColumnClick(int column);
    void sortBy(int column, bool ascending);
    void cmdOK_Click();

    WorklistStation m_station;
    QString m_programFolder;
    QWidget* m_main;
    std::optional<WorklistRow> m_chosen;
    QStringList m_chosenUnreadable;
    std::optional<dicom::ScheduledStudy> m_chosenStudy;
    std::vector<dicom::ScheduledStudy> m_scheduled; // per answer, when asked for; rows hold the index
    bool m_activated = false;
    bool m_closed = false;
};

} // namespace skiascan
