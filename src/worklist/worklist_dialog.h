// fWorklist, the worklist dialog: today's scheduled procedure steps at this
// station, sortable by any column; OK copies the chosen one into the main window.
#pragma once

#include "dicom/dicom_toolkit.h"

#include <QDialog>

#include <optional>

class QPushButton;
class QTreeWidget;

namespace skiascan {

class fSkiascan;

class fWorklist : public QDialog {
    Q_OBJECT

public:
    explicit fWorklist(fSkiascan& main);

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

    fSkiascan& m_main;
    bool m_activated = false;
    bool m_closed = false;
};

} // namespace skiascan
