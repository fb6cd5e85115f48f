// Benchmark: from a click on Worklist to the sorted list, against a worklist
// server holding many entries for today.
//
//   bench_worklist --make-entries DIR COUNT   writes COUNT worklist files for today
//   bench_worklist PORT CALLED_AET            times the dialog against that server

#include "app/main_window.h"
#include "settings/settings_file.h"
#include "worklist/worklist_dialog.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcuid.h>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QTreeWidget>

#include <cstdio>

namespace {

int makeEntries(const QString& folder, int count)
{
    const QByteArray today = QDate::currentDate().toString(QStringLiteral("yyyyMMdd")).toLatin1();
    for (int i = 0; i < count; ++i) {
        DcmFileFormat file;
        DcmDataset* ds = file.getDataset();
        const QByteArray n = QByteArray::number(i);
        ds->putAndInsertString(DCM_SpecificCharacterSet, "ISO_IR 100");
        ds->putAndInsertString(DCM_AccessionNumber, "ACC" + n);
        ds->putAndInsertString(DCM_PatientName, "Patient" + n + "^Given^M");
        ds->putAndInsertString(DCM_PatientID, "ID" + n);
        ds->putAndInsertString(DCM_PatientBirthDate, "19600201");
        ds->putAndInsertString(DCM_PatientSex, i % 2 ? "F" : "M");
        ds->putAndInsertString(DCM_StudyInstanceUID, "1.2.826.0.1.3680043.2.1143." + n);
        // Instance UIDs of their own, so that saving makes none up.
        ds->putAndInsertString(DCM_SOPClassUID, UID_FINDModalityWorklistInformationModel);
        ds->putAndInsertString(DCM_SOPInstanceUID, ("1.2.826.0.1.3680043.2.1144." + n).constData());
        DcmItem* code = nullptr;
        ds->findOrCreateSequenceItem(DCM_RequestedProcedureCodeSequence, code, -2);
        code->putAndInsertString(DCM_CodeValue, "CHEST");
        DcmItem* step = nullptr;
        ds->findOrCreateSequenceItem(DCM_ScheduledProcedureStepSequence, step, -2);
        step->putAndInsertString(DCM_Modality, "CR");
        step->putAndInsertString(DCM_ScheduledStationAETitle, "SKIA1");
        step->putAndInsertString(DCM_ScheduledProcedureStepStartDate, today.constData());
        const QByteArray time = QTime(0, 0).addSecs((i * 17) % 86400).toString(QStringLiteral("HHmmss")).toLatin1();
        step->putAndInsertString(DCM_ScheduledProcedureStepStartTime, time.constData());
        step->putAndInsertString(DCM_ScheduledStationName, "ROOM1");
        const QString path = QDir(folder).filePath(QStringLiteral("e%1.wl").arg(i));
        if (file.saveFile(path.toLocal8Bit().constData(), EXS_LittleEndianExplicit).bad())
            return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 4 && QByteArray(argv[1]) == "--make-entries")
        return makeEntries(QString::fromLocal8Bit(argv[2]), QByteArray(argv[3]).toInt());
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s PORT CALLED_AET | --make-entries DIR COUNT\n", argv[0]);
        return 2;
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    int qtArgc = 1;
    QApplication app(qtArgc, argv);

    QTemporaryDir program;
    skiascan::saveSettingsFile(skiascan::settingsFilePath(program.path()),
                               {"", "", "", "", "SKIASCAN", "1500", "3000", "||", "||", "||", "127.0.0.1",
                                QString::fromLocal8Bit(argv[1]), QString::fromLocal8Bit(argv[2]), "CR", "SKIA1",
                                "ROOM1"});
    skiascan::fSkiascan window(program.path());
    if (!window.startUp(QString()))
        return 1;

    QElapsedTimer clock;
    double listedSeconds = -1;
    int rows = 0;
    int paintsWhileFilling = 0;
    QTimer watch;
    watch.setInterval(1);
    QObject::connect(&watch, &QTimer::timeout, [&] {
        auto* dialog = qobject_cast<skiascan::fWorklist*>(QApplication::activeModalWidget());
        if (!dialog)
            return;
        if (dialog->windowTitle() != skiascan::fWorklist::kCaption) {
            ++paintsWhileFilling; // the event loop keeps running while the list fills
            return;
        }
        if (dialog->cursor().shape() == Qt::WaitCursor || listedSeconds >= 0)
            return;
        listedSeconds = clock.nsecsElapsed() / 1e9;
        rows = dialog->lvWorklist->topLevelItemCount();
        watch.stop();
        dialog->reject();
    });
    watch.start();
    clock.start();
    window.cmdWorklist->click();
    std::printf("rows %d\nclick_to_sorted_list_seconds %.3f\nevent_loop_turns_while_busy %d\n", rows, listedSeconds,
                paintsWhileFilling);
    return rows > 0 ? 0 : 1;
}
