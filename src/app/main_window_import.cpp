// fSkiascan: the import of a scanned film, its delivery, the report of what a
// node did not take, and the outbox.

#include "app/main_window.h"

#include "app/window_helpers.h"
#include "common/background.h"
#include "common/dates.h"
#include "common/failure.h"
#include "common/program_log.h"
#include "common/text.h"
#include "delivery/delivery.h"
#include "dicom/image_attributes.h"
#include "dicom/uid_generator.h"

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <limits>

namespace skiascan {

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
            throw Failure(QStringLiteral("The scanned file %1 cannot be found.").arg(ScanFile), Failure::Kind::Scanner);
        if (scan.size() < 10240) {
            programlog::event(QStringLiteral("scan file too small (%1 bytes): %2").arg(scan.size()).arg(ScanFile));
            showMessage(this, QMessageBox::Information, QStringLiteral("Skiascan"),
                        QStringLiteral("Importfile to small, scan may be failed!"));
            unsetCursor();
            ScanAborted = true;
            cmdScan->setEnabled(true);
            cmdMultiScan->setEnabled(true);
            return false;
        }
        if (ImageCounter == std::numeric_limits<qint16>::max())
            throw Failure(QStringLiteral("The study already holds %1 images; start a new study.").arg(ImageCounter),
                          Failure::Kind::Argument);
        ++ImageCounter;

        const dicom::ImageRecord record{PATNachname->text(),      PATVorname->text(),        PAT2Vorname->text(),
                                 PATID1->text(),           PATGebDatum->text(),       Sex->currentText(),
                                 StudyDate->text(),        StudyDescritpion->text(),  SeriesDescription->text(),
                                 AccessionNumber->text(),  Bodypart->text(),          settings.WindowCenter,
                                 settings.WindowWidth};
        image.importFile(ScanFile, QStringLiteral("TIF"));
        dicom::setImageProperties(image, record);
        if (!UIDGenerator)
            UIDGenerator = std::make_unique<dicom::UidGenerator>();
        if (StudyUID.isEmpty()) {
            StudyUID = UIDGenerator->newUid();
            StudyTime = clockTime(QTime::currentTime());
            ImageCounter = 1;
        }
        const dicom::ImageNumbering numbering{StudyUID, StudyTime, UIDGenerator->newUid(), UIDGenerator->newUid(),
                                       ImageCounter};
        dicom::addImageAttributes(image, record, numbering, QDate::currentDate(), [] { return QTime::currentTime(); });
        programlog::event(QStringLiteral("film imported: %1 as image %2 of %3 (%4)")
                              .arg(ScanFile, numbering.instanceUid, dicom::patientNameOf(record.lastName, record.firstName, record.middleName), record.patientId));
    } catch (const std::exception& e) {
        programlog::event(QStringLiteral("import of %1 failed: %2").arg(ScanFile, describe(e)));
        showMessage(this, QMessageBox::Critical, windowTitle(),
                    failureText(describe(e), QStringLiteral("Maybe scan apported.")));
        ScanAborted = true;
        return false;
    }

    // From here on nothing stops the import: every outcome is reported, and the
    // scanned file goes only when the image is safe at every node or in the outbox.
    const RemoteSettings remotes{settings.Remote0, settings.Remote1, settings.Remote2};
    Outbox outbox(m_programFolder);
    DeliveryReport report;
    runWhileRepainting([&] { report = deliverImage(image, remotes, settings.LocalAET, outbox); });
    if (report.safe() && QFile::remove(ScanFile))
        programlog::event(QStringLiteral("scan file removed, the image is safe: %1").arg(ScanFile));
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
        OutboxRound round;
        runWhileRepainting([&] { round = resendOutbox(outbox, remotes, localAET, unreachable); });
        programlog::event(QStringLiteral("outbox round: %1 confirmed, %2 failed, %3 waiting")
                              .arg(round.delivered)
                              .arg(round.failures.size())
                              .arg(outbox.count()));
        for (const NodeFailure& failure : round.failures)
            programlog::event(QStringLiteral("outbox round: %1").arg(failure.description));
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

} // namespace skiascan
