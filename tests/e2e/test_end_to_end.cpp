// The built program as a person uses it: a separate skiascan process on a
// virtual X server, driven with xdotool by keyboard and mouse at the positions
// of its window layout, with the scanner simulator, a worklist server and two
// store nodes. It starts an X server of its own (see tests/support/test_main.cpp).

#include "support/desktop.h"
#include "support/dicom_file.h"
#include "support/peers.h"
#include "support/program_folder.h"
#include "support/qt_printers.h"
#include "support/worklist_server.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QThread>

#include <gtest/gtest.h>

#include <functional>

using namespace skiascan;
using namespace skiascan::test;


namespace {

int scansEnded(const ProgramFolder& folder)
{
    QFile log(folder.filePath("Logs/skiascan.log"));
    if (!log.open(QIODevice::ReadOnly))
        return 0;
    return QString::fromUtf8(log.readAll()).count(" scan ended\n");
}

} // namespace

TEST(EndToEnd, APersonScansTypedAndWorklistPatientsIntoTwoNodes)
{
    ProgramFolder folder;
    StoreScp pacs("PACS");
    StoreScp archive("ARCHIVE");
    WlmScp worklist;
    WorklistEntry scheduled;
    scheduled.name = QString::fromUtf8("Müller^Jürgen");
    scheduled.charset = "ISO_IR 192";
    scheduled.patientId = "PID-4711";
    scheduled.time = "081500";
    worklist.add(scheduled);
    WorklistEntry later = scheduled;
    later.name = "O'Brien^Siobhan";
    later.patientId = "PID-5120";
    later.time = "150000";
    worklist.add(later);

    installProgram(folder.path());
    QDir(folder.path()).mkdir("images");
    SettingsLines lines = ProgramFolder::defaultLines();
    lines[Setting::ScanApp] = folder.filePath("SCANFILE.EXE");
    lines[Setting::ImageFolder] = folder.filePath("images") + "/";
    lines[Setting::WindowCenter] = "2048";
    lines[Setting::WindowWidth] = "4096";
    lines[Setting::Remote0] = pacs.setting();
    lines[Setting::Remote1] = archive.setting();
    lines[Setting::WorklistIP] = "127.0.0.1";
    lines[Setting::WorklistPort] = QString::number(worklist.port());
    lines[Setting::WorklistAET] = worklist.aeTitle();
    lines[Setting::ScheduledModality] = "CR";
    lines[Setting::ScheduledAET] = "SKIA1";
    lines[Setting::ScheduledStation] = "ROOM1";
    folder.writeSettings(lines);

    QProcess skiascan;
    startProgram(skiascan, folder.path(), {}, {"SCANFILE_SIZE=512x640", "SCANFILE_DELAY_MS=200"});

    QString window;
    ASSERT_TRUE(waitUntil([&] { return !(window = windowNamed("X-Ray Skiascan")).isEmpty(); }, 20000))
        << "the main window did not appear";
    xdotool({"windowfocus", "--sync", window});
    const Operator person(window);

    // A patient typed by hand, one film.
    const QString today = QDate::currentDate().toString(Qt::ISODate);
    person.typeInto(160, 8, "Doe");
    person.typeInto(160, 32, "Jane");
    person.typeInto(160, 80, "1960-02-01");
    person.typeInto(160, 104, "E2E-1");
    person.typeInto(160, 200, today);
    person.click(376 + 68, 56 + 20); // Single Scan
    EXPECT_TRUE(waitUntil([&] { return pacs.received().size() == 1 && archive.received().size() == 1; }, 30000))
        << "the single film did not arrive at both nodes";
    // As a person waits until the window takes clicks again after a scan.
    EXPECT_TRUE(waitUntil([&] { return scansEnded(folder) == 1; }, 30000)) << "the scan did not end";

    // Today's first scheduled patient from the worklist, three films.
    person.click(376 + 68, 8 + 20); // Worklist
    QString dialog;
    ASSERT_TRUE(waitUntil([&] { return !(dialog = windowNamed("X-Ray Skiascan Dicom Modality Worklist")).isEmpty(); },
                          20000))
        << "the worklist did not list its entries";
    xdotool({"windowfocus", "--sync", dialog});
    person.key("Return"); // OK, on the first row
    ASSERT_TRUE(waitUntil([&] { return windowNamed("X-Ray Skiascan Dicom Modality Worklist").isEmpty(); }, 10000));
    xdotool({"windowfocus", "--sync", window});
    for (int i = 0; i < 3; ++i)
        person.click(184 + 8, 272 + 13); // the lower arrow of the films count: 6 -> 3
    person.click(376 + 68, 104 + 20);    // Multiple Scan
    EXPECT_TRUE(waitUntil([&] { return pacs.received().size() == 4 && archive.received().size() == 4; }, 60000))
        << "the stack did not arrive at both nodes: " << pacs.received().size() << " and " << archive.received().size();

    EXPECT_TRUE(waitUntil([&] { return scansEnded(folder) == 2; }, 30000)) << "the stack did not end";
    person.key("Escape"); // Quit
    EXPECT_TRUE(skiascan.waitForFinished(10000));
    if (skiascan.state() != QProcess::NotRunning)
        skiascan.kill();

    // What the nodes received: the same four images at each.
    for (const StoreScp* node : {&pacs, &archive}) {
        QString typedStudy;
        QSet<QString> pickedStudies;
        QStringList pickedNumbers;
        for (const QString& file : node->received()) {
            DicomFile image(file);
            const QString name = image.utf8(DCM_PatientName);
            if (name == "Doe^Jane") {
                EXPECT_EQ(image.text(DCM_PatientID), "E2E-1");
                EXPECT_EQ(image.text(DCM_InstanceNumber), "1");
                typedStudy = image.text(DCM_StudyInstanceUID);
            } else {
                EXPECT_EQ(name, QString::fromUtf8("Müller^Jürgen"));
                EXPECT_EQ(image.text(DCM_PatientID), "PID-4711");
                EXPECT_EQ(image.text(DCM_BodyPartExamined), "CHEST");
                pickedStudies.insert(image.text(DCM_StudyInstanceUID));
                pickedNumbers << image.text(DCM_InstanceNumber);
            }
        }
        pickedNumbers.sort();
        EXPECT_FALSE(typedStudy.isEmpty()) << node->aeTitle().toStdString();
        EXPECT_EQ(pickedStudies.size(), 1) << "one study per pick";
        EXPECT_FALSE(pickedStudies.contains(typedStudy));
        EXPECT_EQ(pickedNumbers, (QStringList{"1", "2", "3"}));
    }
    EXPECT_TRUE(QDir(folder.filePath("images")).entryList(QDir::Files).isEmpty()) << "every film was delivered";

    // Every image either node received is a valid Secondary Capture image.
    for (const StoreScp* node : {&pacs, &archive})
        for (const QString& file : node->received())
            EXPECT_EQ(dciodvfyErrors(file), QStringList()) << file.toStdString();
}
