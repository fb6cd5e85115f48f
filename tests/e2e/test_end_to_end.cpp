// The built program as a person uses it: a separate skiascan process on a
// virtual X server, driven with xdotool by keyboard and mouse at the positions
// of its window layout, with the scanner simulator, a worklist server and two
// store nodes. Run under xvfb-run (see tests/CMakeLists.txt).

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

// Runs xdotool and returns what it printed.
QString xdotool(const QStringList& args, int timeoutMs = 15000)
{
    QProcess p;
    p.start(QStringLiteral("xdotool"), args);
    if (!p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished();
        ADD_FAILURE() << "xdotool " << args.join(' ').toStdString() << " did not finish";
        return {};
    }
    return QString::fromLocal8Bit(p.readAllStandardOutput()).trimmed();
}

bool waitUntil(const std::function<bool()>& done, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > timeoutMs)
            return false;
        QThread::msleep(50);
    }
    return true;
}

QString windowNamed(const QString& name)
{
    return xdotool({"search", "--onlyvisible", "--name", "^" + QRegularExpression::escape(name) + "$"}).section('\n', 0, 0);
}

// The main window on the screen, and clicks at positions of its client area.
class Operator {
public:
    explicit Operator(const QString& window)
        : m_window(window)
    {
        const QString shell = xdotool({"getwindowgeometry", "--shell", window});
        int x = 0, y = 0, height = 0;
        for (const QString& line : shell.split('\n')) {
            if (line.startsWith("X="))
                x = line.mid(2).toInt();
            else if (line.startsWith("Y="))
                y = line.mid(2).toInt();
            else if (line.startsWith("HEIGHT="))
                height = line.mid(7).toInt();
        }
        // The client area of 520 x 325 sits below the menu bar.
        m_origin = QPoint(x, y + height - 325);
    }

    void click(int x, int y) const
    {
        // (No --sync: it waits for ever when the pointer is already there.)
        xdotool({"mousemove", QString::number(m_origin.x() + x), QString::number(m_origin.y() + y), "click",
                 "1"});
    }
    // Clicks into a field at its layout position and types.
    void typeInto(int x, int y, const QString& text) const
    {
        click(x + 20, y + 9);
        xdotool({"key", "ctrl+a"});
        xdotool({"type", "--delay", "10", text});
    }
    void key(const QString& name) const { xdotool({"key", name}); }

private:
    QString m_window;
    QPoint m_origin;
};

} // namespace

TEST(EndToEnd, APersonScansTypedAndWorklistPatientsIntoTwoNodes)
{
    ASSERT_FALSE(qEnvironmentVariableIsEmpty("DISPLAY")) << "run under xvfb-run";
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

    const QString bin = QString(SKIASCAN_PROGRAM_DIR);
    for (const char* name : {"skiascan", "SCANFILE.EXE", "Test.tif"})
        ASSERT_TRUE(QFile::copy(bin + "/" + name, folder.filePath(name))) << name;
    QFile::setPermissions(folder.filePath("skiascan"), QFile::ReadOwner | QFile::ExeOwner);
    QFile::setPermissions(folder.filePath("SCANFILE.EXE"), QFile::ReadOwner | QFile::ExeOwner);
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
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "xcb");
    env.insert("LC_ALL", "C.UTF-8");
    env.insert("SCANFILE_SIZE", "512x640");
    env.insert("SCANFILE_DELAY_MS", "200");
    skiascan.setProcessEnvironment(env);
    skiascan.setProcessChannelMode(QProcess::ForwardedChannels);
    skiascan.start(folder.filePath("skiascan"), {});
    ASSERT_TRUE(skiascan.waitForStarted(10000));

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
