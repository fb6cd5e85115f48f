// The outbox window's list of performed procedure steps: each step the RIS is
// still owed, as the operator reads it ("step in progress", "step completed,
// waiting for RIS"), with the node it waits for and why the last try failed.

#include "delivery/outbox_dialog.h"

#include "common/text.h"

#include <QLabel>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace skiascan {

namespace {

enum StepColumn { kStepPatient, kStepId, kStepStudy, kStepImages, kStepStarted, kStepState, kStepWaitsFor,
                  kStepFailure, kStepWhen, kStepColumns };

QString at(const QDateTime& time)
{
    return time.isValid() ? time.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")) : QString();
}

// What names the study: the scheduled procedure, else the step's description.
QString studyOf(const dicom::PerformedStep& step)
{
    if (step.scheduled && !step.scheduled->label().isEmpty())
        return step.scheduled->label();
    return step.description;
}

} // namespace

void OutboxDialog::addStepList(QVBoxLayout* layout)
{
    m_stepsLabel = new QLabel(QStringLiteral("Performed procedure steps (for the RIS):"), this);
    lvSteps = new QTreeWidget(this);
    lvSteps->setObjectName(QStringLiteral("lvSteps"));
    lvSteps->setRootIsDecorated(false);
    lvSteps->setAllColumnsShowFocus(true);
    lvSteps->setHeaderLabels({QStringLiteral("Patient"), QStringLiteral("ID"), QStringLiteral("Study"),
                              QStringLiteral("Images"), QStringLiteral("Started"), QStringLiteral("State"),
                              QStringLiteral("Waits for"), QStringLiteral("Last failure"), QStringLiteral("When")});
    lvSteps->setMinimumSize(760, 80);
    lvSteps->setMaximumHeight(140);
    layout->addWidget(m_stepsLabel);
    layout->addWidget(lvSteps);
}

void OutboxDialog::fillSteps()
{
    if (!lvSteps)
        return;
    const std::vector<StepEntry> steps = m_delivery.steps().entries();
    const std::optional<Node>& node = m_delivery.stepNode();
    lvSteps->clear();
    for (const StepEntry& entry : steps) {
        const dicom::PerformedStep& step = entry.step;
        QString waitsFor;
        if (entry.owed()) {
            if (!node)
                waitsFor = QStringLiteral("%1 (reporting to the RIS is off in the Preferences)").arg(entry.node.aeTitle);
            else if (!entry.owedTo(node->id()))
                waitsFor = QStringLiteral("%1 (no longer configured)").arg(entry.node.name());
            else
                waitsFor = node->aeTitle;
        }
        auto* item = new QTreeWidgetItem(lvSteps);
        item->setText(kStepPatient, personName(step.patient.name));
        item->setText(kStepId, step.patient.id);
        item->setText(kStepStudy, studyOf(step));
        item->setToolTip(kStepStudy, QStringLiteral("Study Instance UID %1, step %2").arg(step.studyUid, step.stepId));
        item->setText(kStepImages, QString::number(step.imageCount()));
        item->setText(kStepStarted, at(QDateTime(step.startDate, step.startTime)));
        item->setText(kStepState, entry.stateText());
        item->setText(kStepWaitsFor, waitsFor);
        item->setText(kStepFailure, entry.lastFailure);
        item->setText(kStepWhen, at(entry.lastTried));
    }
    for (int column = 0; column < kStepColumns; ++column)
        lvSteps->resizeColumnToContents(column);
    const bool shown = !steps.empty() || node.has_value();
    m_stepsLabel->setVisible(shown);
    lvSteps->setVisible(shown);
}

} // namespace skiascan
