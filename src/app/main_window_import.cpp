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
#include "scan/scan_journal.h"

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QEventLoop>
#include <QTimer>

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

    // The film in the scanner carries the record taken when its scan started;
    // an import without a scan takes the record and the numbering now.
    if (!UIDGenerator)
        UIDGenerator = std::make_unique<dicom::UidGenerator>();
    FilmRecord film;
    if (m_film && m_film->scanFile == ScanFile) {
        film = *m_film;
    } else {
        film.scanFile = ScanFile;
        film.study = studyRecord();
        film.numbering = numberFilm(studyNumbering(), *UIDGenerator, QTime::currentTime());
    }
    ScanJournal journal(m_programFolder);

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
            programlog::event(QStringLiteral("scan file too small (%1 bytes), left where it is: %2").arg(scan.size()).arg(ScanFile));
            journal.remove(film);
            showMessage(this, QMessageBox::Information, QStringLiteral("Skiascan"),
                        QStringLiteral("Importfile to small, scan may be failed!"));
            ScanAborted = true;
            // During a scan, the end of the scan gives the buttons back.
            if (!m_scanning) {
                unsetCursor();
                cmdScan->setEnabled(true);
                cmdMultiScan->setEnabled(true);
            }
            return false;
        }
        if (ImageCounter == std::numeric_limits<qint16>::max())
            throw Failure(QStringLiteral("The study already holds %1 images; start a new study.").arg(ImageCounter),
                          Failure::Kind::Argument);
        ++ImageCounter;
        image.importFile(ScanFile, QStringLiteral("TIF"));
        dicom::setImageProperties(image, film.study);
        if (StudyUID.isEmpty()) {
            StudyUID = film.numbering.studyUid;
            StudyTime = film.numbering.studyTime;
            ImageCounter = 1;
        }
        film.numbering.number = ImageCounter;
        dicom::addImageAttributes(image, film.study, film.numbering, QDate::currentDate(),
                                  [] { return QTime::currentTime(); });
    } catch (const std::exception& e) {
        programlog::event(QStringLiteral("import of %1 failed, the file is left where it is: %2").arg(ScanFile, describe(e)));
        journal.remove(film);
        showMessage(this, QMessageBox::Critical, windowTitle(),
                    failureText(describe(e), QStringLiteral("Maybe scan apported.")));
        ScanAborted = true;
        return false;
    }
    deliverFilm(image, film);
    return true;
}

// Delivers a built film and, once it is safe (at every node or in the outbox),
// removes its scan file and its journal entry. Returns whether it is safe.
bool fSkiascan::deliverFilm(dicom::Image& image, const FilmRecord& film)
{
    programlog::event(QStringLiteral("film imported: %1 as image %2 of %3 (%4)")
                          .arg(film.scanFile, film.numbering.instanceUid,
                               dicom::patientNameOf(film.study.lastName, film.study.firstName, film.study.middleName),
                               film.study.patientId));
    const QString status = lblOutbox->text();
    if (m_scanning && !m_quitAfterFilm)
        showStatus(film.films > 1 ? QStringLiteral("Sending film %1 of %2").arg(film.film).arg(film.films)
                                  : QStringLiteral("Sending film"));
    const RemoteSettings remotes{settings.Remote0, settings.Remote1, settings.Remote2};
    Outbox outbox(m_programFolder);
    DeliveryReport report;
    runWhileRepainting([&] { report = deliverImage(image, remotes, settings.LocalAET, outbox); });
    if (report.safe()) {
        if (QFile::remove(film.scanFile))
            programlog::event(QStringLiteral("scan file removed, the image is safe: %1").arg(film.scanFile));
        ScanJournal(m_programFolder).remove(film);
    }
    if (m_scanning && !m_quitAfterFilm)
        showStatus(status);
    reportDelivery(report, film.scanFile);

    std::set<int> unreachable;
    for (const NodeFailure& failure : report.failures)
        if (failure.unreachable)
            unreachable.insert(failure.slot);
    sendOutbox(unreachable);
    return report.safe();
}

// The films a crash or a power cut left in the scanner: each one whose file is
// there is imported with the record and the identity it was scanned with; one
// whose file never came is forgotten (and logged). The operator is told which
// films were recovered.
void fSkiascan::recoverFilms()
{
    ScanJournal journal(m_programFolder);
    const std::vector<FilmRecord> films = journal.films();
    if (films.empty())
        return;
    m_scanning = true;
    QStringList recovered;
    QStringList lost;
    for (const FilmRecord& film : films) {
        const QString patient =
            QStringLiteral("%1 (%2)").arg(dicom::patientNameOf(film.study.lastName, film.study.firstName,
                                                               film.study.middleName),
                                          film.study.patientId);
        const QString which = film.films > 1 ? QStringLiteral("film %1 of %2 of %3").arg(film.film).arg(film.films).arg(patient)
                                             : QStringLiteral("the film of %1").arg(patient);
        showStatus(QStringLiteral("Recovering %1").arg(which));
        // A scanner still at work on the film is waited for.
        QEventLoop wait;
        QTimer tick;
        ScanFileWatch watch;
        watch.watch(film.scanFile);
        QObject::connect(&tick, &QTimer::timeout, &wait, [&] {
            if (m_quitAfterFilm
                || (!scannerStillWorksOn(film) && (!QFileInfo::exists(film.scanFile) || watch.ready())))
                wait.quit();
        });
        tick.start(500);
        if (scannerStillWorksOn(film) || QFileInfo::exists(film.scanFile))
            wait.exec();
        if (m_closing || m_quitAfterFilm)
            break;
        if (!QFileInfo::exists(film.scanFile)) {
            programlog::event(QStringLiteral("journal: %1 never came (%2); its entry is removed").arg(film.scanFile, which));
            journal.remove(film);
            continue;
        }
        dicom::Image image;
        try {
            if (QFileInfo(film.scanFile).size() < 10240)
                throw Failure(QStringLiteral("Importfile to small, scan may be failed!"), Failure::Kind::Scanner);
            image.importFile(film.scanFile, QStringLiteral("TIF"));
            dicom::setImageProperties(image, film.study);
            dicom::addImageAttributes(image, film.study, film.numbering, QDate::currentDate(),
                                      [] { return QTime::currentTime(); });
        } catch (const std::exception& e) {
            programlog::event(QStringLiteral("journal: %1 cannot be recovered (%2): %3").arg(film.scanFile, which, describe(e)));
            journal.remove(film);
            lost << QStringLiteral("%1: %2 (the file stays at %3)").arg(which, describe(e), film.scanFile);
            continue;
        }
        deliverFilm(image, film);
        recovered << QStringLiteral("%1, scanned %2").arg(which, film.started.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")));
    }
    m_scanning = false;
    showOutboxCount();
    if (m_quitAfterFilm) {
        finishQuit();
        return;
    }
    if (recovered.isEmpty() && lost.isEmpty())
        return;
    QString text;
    if (!recovered.isEmpty())
        text += QStringLiteral("These films were in the scanner when Skiascan last ended and have been imported now:\r\n")
            + recovered.join(QStringLiteral("\r\n"));
    if (!lost.isEmpty())
        text += QStringLiteral("%1These films were in the scanner when Skiascan last ended but could not be imported:\r\n")
                    .arg(text.isEmpty() ? QString() : QStringLiteral("\r\n\r\n"))
            + lost.join(QStringLiteral("\r\n"));
    showMessage(this, lost.isEmpty() ? QMessageBox::Information : QMessageBox::Warning, QStringLiteral("Skiascan"), text);
}

void fSkiascan::reportDelivery(const DeliveryReport& report, const QString& scanFile)
{
    if (!report.keepFailure.isEmpty()) {
        QString text = report.keepFailure;
        for (const NodeFailure& failure : report.failures)
            text += QStringLiteral("\r\n") + failure.description;
        showMessage(this, QMessageBox::Critical, QStringLiteral("Skiascan"),
                    failureText(text, QStringLiteral("The scanned file stays at %1; nothing is lost, but it will not "
                                                     "be sent again by itself.")
                                          .arg(QDir::toNativeSeparators(scanFile))));
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
