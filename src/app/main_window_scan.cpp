// fSkiascan: the record taken at the click and handed to the session for a
// single scan or a stack, and the scanner test.

#include "app/main_window.h"

#include "app/study_entry.h"
#include "app/window_helpers.h"
#include "common/failure.h"
#include "common/program_log.h"
#include "common/text.h"
#include "dicom/image_attributes.h"
#include "scan/scan_commands.h"

#include <QComboBox>
#include <QDate>
#include <QFileInfo>
#include <QLabel>
#include <QMessageBox>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>

namespace skiascan {

dicom::StudyRecord fSkiascan::studyRecord() const
{
    return {PATNachname->text(),     PATVorname->text(),       PAT2Vorname->text(),   PATID1->text(),
            PATGebDatum->text(),     Sex->currentText(),       StudyDate->text(),     StudyDescritpion->text(),
            SeriesDescription->text(), AccessionNumber->text(), Bodypart->text(),      settings.WindowCenter,
            settings.WindowWidth};
}

// A value the image cannot carry (a backslash in the patient ID, a control
// character, "^" in a name, ...) is refused at the click, naming the field,
// before the scanner runs. Dates have rules of their own.
bool fSkiascan::recordFitsTheImage()
{
    using dicom::ValueKind;
    const struct {
        QLineEdit* field;
        int label;
        ValueKind kind;
    } fields[] = {
        {PATNachname, 0, ValueKind::NamePart},     {PATVorname, 1, ValueKind::NamePart},
        {PAT2Vorname, 2, ValueKind::NamePart},     {PATID1, 4, ValueKind::Text},
        {AccessionNumber, 12, ValueKind::Text},    {Bodypart, 6, ValueKind::Text},
        {StudyDescritpion, 8, ValueKind::Text},    {SeriesDescription, 9, ValueKind::Text},
    };
    for (const auto& f : fields) {
        const QString why = dicom::whyNotCarried(f.field->text(), f.kind);
        if (why.isEmpty())
            continue;
        const QString caption = Label1[static_cast<std::size_t>(f.label)]->text().remove(QLatin1Char(':'));
        programlog::event(QStringLiteral("scan refused: the %1 \"%2\" cannot go into the image: %3")
                              .arg(caption, f.field->text(), why));
        setTopMost(this, false);
        showMessage(this, QMessageBox::Warning, QStringLiteral("Skiascan"),
                    failureText(QStringLiteral("The %1 \"%2\" cannot go into the image: %3.").arg(caption, f.field->text(), why),
                                QStringLiteral("Please correct it. Nothing was scanned.")));
        setTopMost(this, true);
        f.field->setFocus();
        return false;
    }
    return true;
}

// The fields of the record are read-only while a scan runs.
void fSkiascan::lockRecord(bool locked)
{
    for (QLineEdit* field : {PATNachname, PATVorname, PAT2Vorname, PATGebDatum, PATID1, AccessionNumber, Bodypart,
                             StudyDate, StudyDescritpion, SeriesDescription})
        field->setReadOnly(locked);
    Sex->setEnabled(!locked);
}

// Dates that can be but are unlikely (a study in the future, a birth after
// the study, an age over 130) are asked about before the scan, with No as the
// answer Enter gives; they are never changed. Only Yes scans. The question
// does not wait in a loop of its own: its answer continues the scan.
void fSkiascan::askIfImplausible(const std::function<void()>& scan)
{
    const QStringList doubts = implausibleDates(recordTexts(), QLocale(), QDate::currentDate());
    if (doubts.isEmpty()) {
        scan();
        return;
    }
    programlog::event(QStringLiteral("asked before the scan: %1").arg(doubts.join(QLatin1Char(' '))));
    setTopMost(this, false);
    auto* question = new QMessageBox(QMessageBox::Warning, QStringLiteral("Skiascan"),
                                     doubts.join(QLatin1Char('\n')) + QStringLiteral("\n\nScan anyway?"),
                                     QMessageBox::Yes | QMessageBox::No, this);
    question->setObjectName(QStringLiteral("ScanQuestion"));
    question->setDefaultButton(QMessageBox::No);
    question->setEscapeButton(QMessageBox::No);
    question->setAttribute(Qt::WA_DeleteOnClose);
    connect(question, &QMessageBox::finished, this, [this, question, scan] {
        setTopMost(this, true);
        const bool yes = question->clickedButton() == question->button(QMessageBox::Yes);
        programlog::event(yes ? QStringLiteral("scan anyway, as the operator answered")
                              : QStringLiteral("not scanned, as the operator answered"));
        if (yes && m_session->idle())
            scan();
    });
    question->open();
}

// The record is taken now; the session scans it whatever the fields do later.
void fSkiascan::cmdScan_Click()
{
    if (!m_session->idle() || !recordFitsTheImage())
        return;
    askIfImplausible([this, record = studyRecord()] { m_session->scanSingle(record); });
}

void fSkiascan::cmdMultiScan_Click()
{
    if (!m_session->idle() || !recordFitsTheImage())
        return;
    bool numeric = false;
    const int films = Films->text().toShort(&numeric);
    if (!numeric) {
        showMessage(this, QMessageBox::Critical, QStringLiteral("Skiascan"),
                    failureText(QStringLiteral("The number of films \"%1\" is not a number.").arg(Films->text()),
                                QStringLiteral("Please check Preferences")));
        return;
    }
    askIfImplausible([this, record = studyRecord(), films] {
        m_session->setFilmsInFeeder(films);
        m_session->scanStack(record, films);
    });
}

void fSkiascan::cmdTest_Click()
{
    try {
        const QString folder = testApplicationFolder(settings.TestApp);
        if (folder.isEmpty())
            throw Failure(QStringLiteral("Invalid argument: the test application \"%1\" names no folder.")
                              .arg(settings.TestApp),
                          Failure::Kind::Argument);
        // Started on its own, in its own folder, so that it outlives this
        // program. Whether it could be started is not examined: the workstation
        // is handed over to it either way.
        if (QFileInfo(settings.TestApp).isExecutable())
            QProcess::startDetached(settings.TestApp, {}, folder);
        else
            QProcess::startDetached(QStringLiteral("xdg-open"), {settings.TestApp}, folder);
    } catch (const std::exception& e) {
        showMessage(this, QMessageBox::Critical, windowTitle(),
                    failureText(describe(e), QStringLiteral("Please check preferences")));
        return;
    }
    programlog::event(QStringLiteral("scanner test handed over to %1").arg(settings.TestApp));
    endProgram(EXIT_SUCCESS);
}

} // namespace skiascan
