// The fixture of the tests that scan through the main window: a program folder
// with an image folder, the scanner simulator logging every call, and helpers
// that read what the scanner was told.
#pragma once

#include "app/main_window.h"
#include "support/conditions.h"
#include "support/dicom_file.h"
#include "support/modal.h"
#include "support/peers.h"
#include "support/program_folder.h"
#include "support/qt_printers.h"

#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QScrollBar>
#include <QTest>

#include <gtest/gtest.h>

namespace skiascan::test {

inline const char* const kSimulatorVariables[] = {"SCANFILE_DELAY_MS", "SCANFILE_EXIT", "SCANFILE_MODE", "SCANFILE_SIZE",
                                           "SCANFILE_LOG",      "SCANFILE_PAUSE_MS"};

class ScanningTest : public ::testing::Test {
protected:
    TestConditions conditions;
    void SetUp() override
    {
        for (const char* name : kSimulatorVariables)
            qunsetenv(name);
        qputenv("SCANFILE_LOG", folder.filePath("scanner.log").toLocal8Bit());
        qputenv("SCANFILE_SIZE", "256x320");
        QDir(folder.path()).mkdir("images");
    }
    void TearDown() override
    {
        for (const char* name : kSimulatorVariables)
            qunsetenv(name);
    }

    static QString simulator() { return QString(SKIASCAN_PROGRAM_DIR) + "/SCANFILE.EXE"; }

    std::unique_ptr<fSkiascan> start(const QString& scanApp, const QString& remote0, const QString& parameters = "",
                                     const QString& remote1 = "")
    {
        SettingsLines lines = ProgramFolder::defaultLines();
        lines[Setting::ScanApp] = scanApp;
        lines[Setting::Parameters] = parameters;
        lines[Setting::ImageFolder] = images();
        lines[Setting::Remote0] = remote0;
        lines[Setting::Remote1] = remote1;
        auto w = startWindow(folder, lines);
        EXPECT_TRUE(w->cmdScan->isEnabled());
        return w;
    }

    QString images() const { return folder.filePath("images") + "/"; }
    QStringList imageFiles() const { return QDir(images()).entryList(QDir::Files); }

    // The arguments of each scanner call, as the simulator logged them.
    QList<QStringList> scannerCalls() const
    {
        QFile log(folder.filePath("scanner.log"));
        if (!log.open(QIODevice::ReadOnly))
            return {};
        QList<QStringList> calls;
        static const QRegularExpression argument("\\[([^\\]]*)\\]");
        for (const QString& line : QString::fromLocal8Bit(log.readAll()).split('\n', Qt::SkipEmptyParts)) {
            QStringList arguments;
            for (const auto& match : argument.globalMatch(line))
                arguments << match.captured(1);
            calls << arguments;
        }
        return calls;
    }

    // The options of each scanner call before the file, joined by blanks.
    QStringList scannerOptions() const
    {
        QStringList options;
        for (const QStringList& call : scannerCalls()) {
            QStringList before;
            for (const QString& a : call) {
                if (a.startsWith("/F:"))
                    break;
                before << a;
            }
            options << before.join(' ');
        }
        return options;
    }

    // Waits (running the event loop) until the single scan is over.
    bool singleScanDone(fSkiascan& w, int timeoutMs = 20000)
    {
        return sessionIdle(w, timeoutMs);
    }

    void setFilms(fSkiascan& w, int films) { w.ScrollFilms->setValue(7 - films); }

    ProgramFolder folder;
    ModalDriver modals;
};

inline QStringList instanceNumbers(const StoreScp& node)
{
    return valuesIn(node.received(), DCM_InstanceNumber);
}

} // namespace skiascan::test
