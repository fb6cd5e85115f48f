// fSkiascan: the study record in its fields, the rule that enables scanning,
// the counts, New Study, the worklist pick and the other window commands.

#include "app/main_window.h"

#include "app/study_entry.h"
#include "app/window_helpers.h"
#include "common/dates.h"
#include "common/program_log.h"
#include "common/text.h"
#include "skiascan_version.h"
#include "worklist/worklist_dialog.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QStyle>
#include <QTimer>
#include <QToolTip>

namespace skiascan {

StudyRecordTexts fSkiascan::recordTexts() const
{
    return {PATNachname->text(), PATVorname->text(), PATID1->text(),     Sex->currentText(),
            Bodypart->text(),    StudyDate->text(),  PATGebDatum->text()};
}

void fSkiascan::runEntryRule(bool multiScanToo)
{
    const QLocale locale;
    const StudyRecordTexts record = recordTexts();
    const bool complete = isRecordComplete(record, locale);
    m_scanAllowed = complete;
    if (multiScanToo)
        m_multiScanAllowed = complete;
    m_refusals = entryRefusals(record, locale);
    showRefusals();
    showSessionState(); // the buttons, and the line that says why

}

QWidget* fSkiascan::fieldOf(EntryField field) const
{
    switch (field) {
    case EntryField::LastName:
        return PATNachname;
    case EntryField::FirstName:
        return PATVorname;
    case EntryField::BirthDate:
        return PATGebDatum;
    case EntryField::PatientId:
        return PATID1;
    case EntryField::Sex:
        return Sex;
    case EntryField::BodyPart:
        return Bodypart;
    case EntryField::StudyDate:
        return StudyDate;
    }
    return nullptr;
}

// A field whose text the rule refuses is framed in red and says why on hover;
// an empty one says that a scan needs it. The scan buttons, disabled, say what
// they wait for.
void fSkiascan::showRefusals()
{
    for (EntryField field : {EntryField::LastName, EntryField::FirstName, EntryField::BirthDate,
                             EntryField::PatientId, EntryField::Sex, EntryField::BodyPart, EntryField::StudyDate}) {
        QWidget* widget = fieldOf(field);
        const auto refusal = std::find_if(m_refusals.begin(), m_refusals.end(),
                                          [&](const EntryRefusal& r) { return r.field == field; });
        const bool refused = refusal != m_refusals.end() && refusal->refusedValue;
        if (refused && widget->styleSheet().isEmpty()) {
            // Set once: a style sheet taken away again would take the
            // window's font with it.
            widget->setStyleSheet(QStringLiteral("QLineEdit[refused=\"true\"] { border: 1px solid #c00000; "
                                                 "background: #fff0f0; }"));
        }
        if (widget->property("refused").toBool() != refused) {
            widget->setProperty("refused", refused);
            widget->style()->unpolish(widget);
            widget->style()->polish(widget);
            widget->setFont(font()); // polishing anew forgets the inherited font
        }
        widget->setToolTip(refusal == m_refusals.end()
                               ? QString()
                               : refusal->text + (refusal->refusedValue ? QString() : QStringLiteral("; a scan needs it")));
    }
    QStringList why;
    for (const EntryRefusal& refusal : m_refusals)
        why << refusal.text;
    const QString tip = why.isEmpty() ? QString() : QStringLiteral("A scan needs a complete record:\n") + why.join(QLatin1Char('\n'));
    cmdScan->setToolTip(tip);
    cmdMultiScan->setToolTip(tip);
}

// Enter that cannot scan says why beside the field that stops it, and takes
// the operator there.
void fSkiascan::explainRefusal()
{
    if (m_refusals.empty())
        return;
    const EntryRefusal& first = m_refusals.front();
    QWidget* field = fieldOf(first.field);
    programlog::event(QStringLiteral("scan refused: %1").arg(first.text));
    field->setFocus();
    QToolTip::showText(field->mapToGlobal(QPoint(0, field->height())), first.text, field);
}

void fSkiascan::PATNachname_Change()
{
    runEntryRule(true);
    m_session->closeStudy();
}

void fSkiascan::PATVorname_Change()
{
    runEntryRule(true);
    m_session->closeStudy();
}

void fSkiascan::PAT2Vorname_Change()
{
    runEntryRule(true);
    m_session->closeStudy();
}

void fSkiascan::PATGebDatum_Change()
{
    runEntryRule(true);
    m_session->closeStudy();
}

void fSkiascan::PATID1_Change()
{
    runEntryRule(true);
    m_session->closeStudy();
}

void fSkiascan::Sex_Change()
{
    runEntryRule(true);
    // If this change is part of a selection from the list, Sex_Click follows
    // before control returns to the event loop and puts the study back.
    m_studyUidBeforeSexChange = m_session->StudyUID();
    m_scheduledBeforeSexChange = m_session->scheduledStudy();
    m_sexChangePending = true;
    QTimer::singleShot(0, this, [this] { m_sexChangePending = false; });
    m_session->closeStudy();
}

void fSkiascan::Sex_Click()
{
    if (m_sexChangePending) {
        m_session->restoreStudy(m_studyUidBeforeSexChange, m_scheduledBeforeSexChange);
        m_sexChangePending = false;
    }
    runEntryRule(true);
}

void fSkiascan::Bodypart_Change()
{
    runEntryRule(false);
    m_session->studyFieldEdited();
}

void fSkiascan::StudyDate_Change()
{
    runEntryRule(true);
    m_session->studyFieldEdited();
}

void fSkiascan::StudyDescritpion_Change()
{
    runEntryRule(true);
    m_session->studyFieldEdited();
}

void fSkiascan::SeriesDescription_Change()
{
    m_session->studyFieldEdited();
}

void fSkiascan::Images_Change()
{
    runEntryRule(true);
}

void fSkiascan::ScrollFilms_Change()
{
    Films->setText(QString::number(7 - ScrollFilms->value()));
    m_session->setFilmsInFeeder(Films->text().toInt());
}

void fSkiascan::ScrollImages_Change()
{
    Images->setText(QString::number(100 - ScrollImages->value()));
    Images_Change();
}

void fSkiascan::cmdWorklist_Click()
{
    setTopMost(this, false);
    std::optional<WorklistRow> chosen;
    std::optional<dicom::ScheduledStudy> scheduled;
    QStringList unreadable;
    // A cancelled dialog changes nothing: the study and its numbering go on.
    {
        fWorklist dialog(worklistStation(), m_programFolder, this);
        dialog.exec();
        chosen = dialog.chosen();
        scheduled = dialog.chosenStudy();
        unreadable = dialog.chosenUnreadable();
    }
    if (chosen)
        applyWorklistPick(*chosen, scheduled);
    if (chosen && !unreadable.isEmpty())
        showMessage(this, QMessageBox::Warning, QStringLiteral("Skiascan"),
                    failureText(QStringLiteral("The worklist entry's %1 could not be read in its character set and was "
                                               "left empty.")
                                    .arg(unreadable.join(QStringLiteral(", "))),
                                QStringLiteral("Please type it in before scanning.")));
    setTopMost(this, true);
}

WorklistStation fSkiascan::worklistStation() const
{
    return {settings.WorklistIP,        settings.WorklistPort, settings.WorklistAET,     settings.LocalAET,
            settings.ScheduledModality, settings.ScheduledAET, settings.ScheduledStation, networkTimeouts,
            queryLimits,                options.useScheduledStudy,
            withPathsResolved(options.worklistTls, m_programFolder)};
}

// The transfer of a worklist entry: a new study, then the eight fields in their
// order, each through its change handling as if typed. With the worklist's
// study in use, the pick also brings the Study Description and, once the
// fields are in, the scheduled study: its films carry the order.
void fSkiascan::applyWorklistPick(const WorklistRow& row, const std::optional<dicom::ScheduledStudy>& scheduled)
{
    const QString studyBefore = m_session->StudyUID();
    m_session->openStudy();
    PATNachname->setText(row[kLastName]);
    PATVorname->setText(row[kFirstName]);
    PAT2Vorname->setText(row[kMiddleInitial]);
    PATGebDatum->setText(row[kBirthdate]);
    PATID1->setText(row[kId]);
    Sex->setEditText(row[kSex]);
    AccessionNumber->setText(row[kAccessionNumber]);
    Bodypart->setText(row[kBodypart].isEmpty() ? QStringLiteral("Unknown") : row[kBodypart]);
    programlog::event(QStringLiteral("worklist entry picked: %1^%2 (%3)").arg(row[kLastName], row[kFirstName], row[kId]));
    if (scheduled) {
        // The order's description, when it has one; without one the
        // operator's stays.
        if (!scheduled->requestedProcedureDescription.isEmpty())
            StudyDescritpion->setText(scheduled->requestedProcedureDescription);
        m_session->useScheduledStudy(*scheduled);
    }
    // The pick's study numbers its images from 1, unless it is the study the
    // films went to until now (the same order picked again): its numbers go on.
    if (studyBefore.isEmpty() || m_session->StudyUID() != studyBefore)
        m_session->worklistClosed();
}

void fSkiascan::cmdNew_Click()
{
    m_session->closeStudy();
}

void fSkiascan::cmdCancel_Click()
{
    close();
}

void fSkiascan::mnuHelp_Click()
{
    showMessage(this, QMessageBox::Information, QStringLiteral("Skiascan"),
                QStringLiteral("Skiascan Version %1.%2.%3")
                    .arg(SKIASCAN_VERSION_MAJOR)
                    .arg(SKIASCAN_VERSION_MINOR)
                    .arg(SKIASCAN_VERSION_PATCH));
}

} // namespace skiascan
