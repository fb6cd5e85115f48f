#include "common/durable_file.h"
#include "common/failure.h"
#include "common/program_log.h"
#include "support/qt_printers.h"
#include "support/unprivileged.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace skiascan;

namespace {

QStringList logLines(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
}

} // namespace

TEST(ProgramLog, OneLineWithItsTimePerEventAndBoundedInSize)
{
    QTemporaryDir folder;
    programlog::open(folder.path());
    EXPECT_EQ(programlog::path(), folder.filePath("Logs/skiascan.log"));
    programlog::event("film imported:\nsecond line");
    const QStringList lines = logLines(programlog::path());
    ASSERT_EQ(lines.size(), 1);
    EXPECT_TRUE(QRegularExpression("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} film imported: second line$")
                    .match(lines[0])
                    .hasMatch())
        << lines[0].toStdString();

    // Far more than fits: the file starts anew and one older file is kept.
    const QString event(1000, 'x');
    for (qint64 written = 0; written < 3 * programlog::kMaxBytes; written += event.size())
        programlog::event(event);
    EXPECT_LE(QFile(programlog::path()).size(), programlog::kMaxBytes);
    EXPECT_TRUE(QFile::exists(programlog::path() + ".1"));
    EXPECT_LE(QFile(programlog::path() + ".1").size(), programlog::kMaxBytes);
}

TEST(ProgramLog, ALogThatCannotBeWrittenIsSkipped)
{
    QTemporaryDir folder;
    programlog::open(folder.path());
    QFile::setPermissions(folder.filePath("Logs"), QFile::ReadOwner | QFile::ExeOwner);
    const int outcome = test::runUnprivileged([] {
        programlog::event("nowhere to go");
        return 0;
    });
    QFile::setPermissions(folder.filePath("Logs"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    EXPECT_EQ(outcome, 0);
    EXPECT_TRUE(logLines(programlog::path()).isEmpty());
}

TEST(DurableFile, ReplacesTheWholeFileOrNothing)
{
    QTemporaryDir folder;
    const QString path = folder.filePath("entry.json");
    writeFileDurably(path, "first");
    writeFileDurably(path, "second");
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), "second");
    EXPECT_EQ(QDir(folder.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"entry.json"});

    try {
        writeFileDurably(folder.filePath("missing/entry.json"), "x");
        ADD_FAILURE() << "a write into a missing folder reported success";
    } catch (const Failure& e) {
        EXPECT_EQ(e.kind(), Failure::Kind::File);
        EXPECT_TRUE(e.description().contains("missing/entry.json")) << e.description().toStdString();
    }
}

// What makes a write count is the rename, and it counts after a power cut only
// once the folder holding the new name is flushed: the file is flushed before
// the rename, the folder after it.
TEST(DurableFile, TheFileIsFlushedBeforeTheRenameAndItsFolderAfterIt)
{
    QTemporaryDir dir;
    const QString folder = QFileInfo(dir.path()).canonicalFilePath();
    const QString target = folder + "/entry.json";
    const QString log = folder + "/calls.log";
    QProcess writer;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("LD_PRELOAD", FSYNC_SPY);
    environment.insert("FSYNC_SPY_LOG", log);
    environment.insert("ASAN_OPTIONS", "verify_asan_link_order=0");
    writer.setProcessEnvironment(environment);
    writer.start(DURABLE_WRITE, {target, "owed"});
    ASSERT_TRUE(writer.waitForFinished());
    ASSERT_EQ(writer.exitCode(), 0) << writer.readAllStandardError().toStdString();

    const QStringList calls = logLines(log);
    const qsizetype renamed = calls.indexOf("rename " + target);
    ASSERT_GE(renamed, 1) << calls.join("; ").toStdString();
    EXPECT_TRUE(calls[renamed - 1].startsWith("fsync " + folder + "/.writing-entry.json"))
        << calls.join("; ").toStdString();
    EXPECT_EQ(calls.mid(renamed + 1), QStringList{"fsync " + folder}) << calls.join("; ").toStdString();
}
