// fSkiascan: the import of a scanned film, and the films a crash left in the
// scanner.

#include "app/main_window.h"

#include "app/window_helpers.h"
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
#include <QScopeGuard>
#include <QEventLoop>
#include <QTimer>

#include <limits>

namespace skiascan {

namespace {

// A scanned file smaller than this holds no film: the scan went wrong.
constexpr qint64 kSmallestScanFile = 10240;

} // namespace

bool fSkiascan::ImageImport()
{
    if (m_importing)
        return false;
    m_importing = true;
    const auto done = qScopeGuard([this] { m_importing = false; });

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
        if (scan.size() < kSmallestScanFile) {
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

// Delivers a built film and, once it is safe (written ahead into the outbox, or
// confirmed by every node), removes its scan file and its journal entry.
// Returns whether it is safe.
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
    OutboxEntry described;
    described.instanceUid = film.numbering.instanceUid;
    described.patientName = dicom::patientNameOf(film.study.lastName, film.study.firstName, film.study.middleName);
    described.patientId = film.study.patientId;
    described.number = film.numbering.number;
    described.scanned = film.started.isValid() ? film.started : QDateTime::currentDateTime();
    const std::vector<Node> nodes = configuredNodes(remotes());
    const QString localAET = settings.LocalAET;
    const dicom::NetworkTimeouts timeouts = networkTimeouts;
    Outbox outbox(m_programFolder);
    FilmDelivery delivery;
    runNetworkWork([&](DeliveryProgress& progress) {
        delivery = skiascan::deliverFilm(image, described, nodes, localAET, timeouts, outbox, &progress);
    });
    if (delivery.safe()) {
        if (QFile::remove(film.scanFile))
            programlog::event(QStringLiteral("scan file removed, the image is safe: %1").arg(film.scanFile));
        ScanJournal(m_programFolder).remove(film);
    }
    if (m_scanning && !m_quitAfterFilm)
        showStatus(status);
    reportDelivery(delivery, film.scanFile);

    // The round that follows leaves out the nodes that failed this film a
    // moment ago: the operator has just been told of them.
    QSet<QString> failed;
    for (const NodeResult& failure : delivery.failures())
        failed.insert(failure.node.aeTitle);
    sendOutbox(RoundCause::AfterImport, failed);
    return delivery.safe();
}

// The films a crash or a power cut left in the scanner: each one whose file is
// there is imported with the record and the identity it was scanned with; one
// whose file never came is forgotten (and logged). Returns what the operator is
// to be told of them (empty when nothing was recovered), once the outbox has
// had its round.
QString fSkiascan::recoverFilms()
{
    ScanJournal journal(m_programFolder);
    const std::vector<FilmRecord> films = journal.films();
    if (films.empty())
        return {};
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
        const QString recoveredLine =
            QStringLiteral("%1, scanned %2").arg(which, film.started.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")));
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
        // Written ahead before the crash: the film is safe, only its scan file
        // and its journal entry are left to remove.
        if (Outbox(m_programFolder).holds(film.numbering.instanceUid)) {
            QFile::remove(film.scanFile);
            journal.remove(film);
            recovered << recoveredLine;
            continue;
        }
        dicom::Image image;
        try {
            if (QFileInfo(film.scanFile).size() < kSmallestScanFile)
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
        recovered << recoveredLine;
    }
    m_scanning = false;
    showOutboxCount();
    if (m_quitAfterFilm) {
        finishQuit();
        return {};
    }
    QString text;
    if (!recovered.isEmpty())
        text += QStringLiteral("These films were in the scanner when Skiascan last ended and have been imported now:\r\n")
            + recovered.join(QStringLiteral("\r\n"));
    if (!lost.isEmpty())
        text += QStringLiteral("%1These films were in the scanner when Skiascan last ended but could not be imported:\r\n")
                    .arg(text.isEmpty() ? QString() : QStringLiteral("\r\n\r\n"))
            + lost.join(QStringLiteral("\r\n"));
    return text;
}

} // namespace skiascan
