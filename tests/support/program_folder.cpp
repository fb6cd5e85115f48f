#include "support/program_folder.h"

#include "delivery/outbox_dialog.h"

#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QApplication>
#include <QTest>

#include <gtest/gtest.h>

namespace skiascan::test {

ProgramFolder::ProgramFolder()
{
    EXPECT_TRUE(m_dir.isValid());
}

SettingsLines ProgramFolder::defaultLines()
{
    SettingsLines lines = linesOf(Settings{});
    lines[Setting::LocalAET] = "SKIASCAN";
    for (Setting remote : {Setting::Remote0, Setting::Remote1, Setting::Remote2})
        lines[remote] = "||";
    return lines;
}

SettingsLines ProgramFolder::worklistLines(int port, const QString& aeTitle)
{
    SettingsLines lines = defaultLines();
    lines[Setting::WorklistIP] = "127.0.0.1";
    lines[Setting::WorklistPort] = QString::number(port);
    lines[Setting::WorklistAET] = aeTitle;
    lines[Setting::ScheduledModality] = "CR";
    lines[Setting::ScheduledAET] = "SKIA1";
    lines[Setting::ScheduledStation] = "ROOM1";
    return lines;
}

void ProgramFolder::writeSettings(const SettingsLines& lines) const
{
    saveSettingsFile(settingsPath(), lines);
}

void ProgramFolder::writeSettingsBytes(const QByteArray& bytes) const
{
    QFile f(settingsPath());
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(bytes);
}

QByteArray ProgramFolder::settingsBytes() const
{
    QFile f(settingsPath());
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return f.readAll();
}

std::unique_ptr<fSkiascan> startWindow(const ProgramFolder& folder, const SettingsLines& lines,
                                       const dicom::NetworkTimeouts& timeouts, const dicom::QueryLimits& limits)
{
    folder.writeSettings(lines);
    auto w = std::make_unique<fSkiascan>(folder.path());
    w->networkTimeouts = timeouts;
    w->queryLimits = limits;
    EXPECT_TRUE(w->startUp("Smith^John|4711|01.02.1960"));
    EXPECT_TRUE(sessionIdle(*w)) << "the start-up did not end";
    w->StudyDate->setText("07.12.2026");
    return w;
}

bool sessionIdle(fSkiascan& w, int timeoutMs)
{
    // Idle, and every node's worker has tried what it was woken for.
    const bool idle = QTest::qWaitFor(
        [&] {
            return w.programEnded() || !w.isVisible()
                || (w.session().idle() && !w.session().scanning() && w.session().delivery().settled());
        },
        timeoutMs);
    // What the session told on its way is open now: the test's answers close it.
    return QTest::qWaitFor([] { return !QApplication::activeModalWidget(); }, timeoutMs) && idle;
}

void inOutboxWindow(ModalDriver& modals, fSkiascan& w, const std::function<void(OutboxDialog*)>& inside,
                    const std::function<void()>& after)
{
    bool closed = false;
    modals.then([inside, &closed](QWidget* dialog) {
        auto* outbox = qobject_cast<OutboxDialog*>(dialog);
        closed = true;
        ASSERT_NE(outbox, nullptr);
        inside(outbox);
        outbox->cmdClose->click();
    });
    if (after)
        after();
    QTest::mouseClick(w.lblOutbox, Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return closed && !w.findChild<OutboxDialog*>(); }, 30000));
}

} // namespace skiascan::test
