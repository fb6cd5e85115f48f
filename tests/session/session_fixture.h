// The fixture of the scan session's tests: a program folder with an image
// folder, the scanner simulator logging its calls, a session with short waits,
// and an operator that records what it is told and answers what it is asked.
#pragma once

#include "session/scan_session.h"
#include "support/conditions.h"
#include "support/program_folder.h"
#include "support/qt_printers.h"

#include <QDir>
#include <QFile>
#include <QTest>

#include <gtest/gtest.h>

#include <optional>
#include <vector>

namespace skiascan::test {

class RecordingOperator : public SessionOperator {
public:
    void tell(const Notice& notice) override { told.push_back(notice); }
    void askToEndNow(const QString& patient) override
    {
        asked << patient;
        if (answer)
            session->answerEndNow(*answer);
    }
    /// The texts told so far, joined.
    QString texts() const
    {
        QStringList all;
        for (const Notice& n : told)
            all << n.text;
        return all.join("\n");
    }

    std::vector<Notice> told;
    QStringList asked;
    std::optional<bool> answer; // given at once when set
    ScanSession* session = nullptr;
};

class SessionTest : public ::testing::Test {
protected:
    TestConditions conditions;

    // What the scanner simulator is told through the environment.
    static constexpr const char* kSimulatorVariables[] = {"SCANFILE_DELAY_MS", "SCANFILE_EXIT", "SCANFILE_MODE",
                                                          "SCANFILE_FEEDER", "SCANFILE_LOG"};

    void SetUp() override
    {
        for (const char* name : kSimulatorVariables)
            qunsetenv(name);
        qputenv("SCANFILE_LOG", folder.filePath("scanner.log").toLocal8Bit());
        qputenv("SCANFILE_SIZE", "256x320");
        QDir(folder.path()).mkdir("images");
        settings.ScanApp = QString(SKIASCAN_PROGRAM_DIR) + "/SCANFILE.EXE";
        settings.ImageFolder = images();
        settings.LocalAET = "SKIASCAN";
        settings.Remote0 = settings.Remote1 = settings.Remote2 = "||";
    }
    void TearDown() override
    {
        for (const char* name : kSimulatorVariables)
            qunsetenv(name);
    }

    ScanSession& start()
    {
        session = std::make_unique<ScanSession>(folder.path(), op);
        op.session = session.get();
        session->setSettings(settings);
        session->setNetworkTimeouts(conditions.timeouts);
        session->setTiming({std::chrono::milliseconds(50), std::chrono::milliseconds(1000), std::chrono::milliseconds(1500)});
        session->delivery().setTiming({.pauses = {std::chrono::milliseconds(300), std::chrono::milliseconds(600)}});
        QObject::connect(session.get(), &ScanSession::stateChanged, [this] {
            if (states.empty() || states.back() != session->state())
                states.push_back(session->state());
        });
        QObject::connect(session.get(), &ScanSession::readyToEnd, [this] { ended = true; });
        return *session;
    }

    /// Waits until nothing is under way, every node has been tried (and what
    /// the session told has arrived).
    bool idle(int timeoutMs = 20000)
    {
        const bool done = QTest::qWaitFor(
            [&] { return session->idle() && !session->scanning() && session->delivery().settled(); }, timeoutMs);
        QTest::qWait(1); // the queued messages
        return done;
    }

    static dicom::StudyRecord record()
    {
        return {"Doe", "Jane", "", "PID-1", "01.02.1960", "F", "07.12.2026", "", "", "", "CHEST", "1500", "3000"};
    }

    QString images() const { return folder.filePath("images") + "/"; }
    QStringList imageFiles() const { return QDir(images()).entryList(QDir::Files); }
    QStringList journal() const { return QDir(folder.filePath("Journal")).entryList({"*.json"}, QDir::Files); }
    int scannerCalls() const
    {
        QFile log(folder.filePath("scanner.log"));
        return log.open(QIODevice::ReadOnly) ? log.readAll().count('\n') : 0;
    }

    ProgramFolder folder;
    Settings settings;
    RecordingOperator op;
    std::unique_ptr<ScanSession> session;
    std::vector<SessionState> states;
    bool ended = false;
};

} // namespace skiascan::test
