// The delivery engine and its outbox, against real nodes: write-ahead, images
// owed to nodes by AE title, rounds, concurrent sends, deadlines and Cancel.
#include "common/failure.h"
#include "delivery/delivery.h"
#include "dicom/image_attributes.h"
#include "support/dicom_file.h"
#include "support/peers.h"
#include "support/qt_printers.h"
#include "support/tiff_writer.h"
#include "support/unprivileged.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <thread>

using namespace skiascan;
using namespace skiascan::test;
using dicom::Image;

namespace {

// The nodes of three destination rows, as the settings give them.
std::vector<Node> nodes(const std::array<QString, 3>& remotes)
{
    return configuredNodes(parseRemoteNodes(remotes));
}

class OutboxTest : public ::testing::Test {
protected:
    void SetUp() override { writeFilmTiff(program.filePath("scan.tif")); }

    Image makeImage(const QString& instanceUid)
    {
        Image image;
        image.importFile(program.filePath("scan.tif"), "TIF");
        const dicom::StudyRecord r{"Smith", "John", "", "4711", "19600201", "M", "20261207", "", "", "", "CHEST", "1500", "3000"};
        dicom::setImageProperties(image, r);
        dicom::addImageAttributes(image, r, {"2.25.1", "10:00:00", "2.25.2", instanceUid, 1}, QDate(2026, 12, 7),
                                  [] { return QTime(10, 0, 1); });
        return image;
    }

    static OutboxEntry film(const QString& instanceUid)
    {
        OutboxEntry entry;
        entry.instanceUid = instanceUid;
        entry.patientName = "Smith^John";
        entry.patientId = "4711";
        entry.number = 1;
        entry.scanned = QDateTime::currentDateTime();
        return entry;
    }

    FilmDelivery deliver(const QString& uid, const std::array<QString, 3>& remotes, Outbox& outbox,
                         DeliveryProgress* progress = nullptr)
    {
        const Image image = makeImage(uid);
        return deliverFilm(image, film(uid), nodes(remotes), "SKIASCAN", timeouts, outbox, progress);
    }

    RoundReport round(Outbox& outbox, const std::array<QString, 3>& remotes)
    {
        return runRound(outbox, nodes(remotes), "SKIASCAN", timeouts);
    }

    // Short enough that a silent node costs a test two seconds.
    dicom::NetworkTimeouts timeouts{.acseSeconds = 2, .dimseSeconds = 5};
    QTemporaryDir program;
};

QStringList instanceUids(const StoreScp& node)
{
    return valuesIn(node.received(), DCM_SOPInstanceUID);
}

QStringList owedTitles(const OutboxEntry& entry)
{
    QStringList titles;
    for (const OwedNode& owed : entry.owed)
        titles << owed.aeTitle;
    return titles;
}

} // namespace

TEST_F(OutboxTest, AFilmIsWrittenAheadAndStruckOffNodeByNode)
{
    StoreScp first("FIRST");
    StoreScp third("THIRD");
    const int down = freePort();
    Outbox outbox(program.path());
    const FilmDelivery delivery =
        deliver("2.25.100", {first.setting(), QString("SECOND|127.0.0.1|%1").arg(down), third.setting()}, outbox);
    ASSERT_EQ(delivery.failures().size(), 1u);
    EXPECT_EQ(delivery.failures()[0].node.aeTitle, "SECOND");
    EXPECT_TRUE(delivery.failures()[0].stopsTheRound);
    EXPECT_TRUE(delivery.kept);
    EXPECT_TRUE(delivery.safe());
    EXPECT_EQ(instanceUids(first), QStringList{"2.25.100"});
    EXPECT_EQ(instanceUids(third), QStringList{"2.25.100"});

    const std::vector<OutboxEntry> entries = outbox.entries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(owedTitles(entries[0]), QStringList{"SECOND"});
    EXPECT_EQ(entries[0].owed[0].port, down);
    EXPECT_TRUE(entries[0].owed[0].lastFailure.contains("SECOND")) << entries[0].owed[0].lastFailure.toStdString();
    EXPECT_EQ(entries[0].patientName, "Smith^John");

    // Every node confirming leaves nothing behind.
    StoreScp only("ONLY");
    EXPECT_TRUE(deliver("2.25.101", {only.setting(), "||", ""}, outbox).safe());
    EXPECT_FALSE(outbox.holds("2.25.101"));
    EXPECT_FALSE(QFile::exists(QDir(outbox.folder()).filePath("2.25.101.dcm")));
}

TEST_F(OutboxTest, WithoutNodesTheImageWaitsForTheFirstOneConfigured)
{
    Outbox outbox(program.path());
    const FilmDelivery delivery = deliver("2.25.102", {"||", "", "AB"}, outbox);
    EXPECT_TRUE(delivery.noNodeConfigured);
    EXPECT_TRUE(delivery.safe());
    const RoundReport nothing = round(outbox, {"||", "||", "||"});
    EXPECT_EQ(nothing.confirmed, 0);
    StoreScp node("LATER");
    const RoundReport later = round(outbox, {"||", node.setting(), "||"});
    EXPECT_EQ(later.confirmed, 1);
    EXPECT_EQ(instanceUids(node), QStringList{"2.25.102"});
    EXPECT_EQ(outbox.count(), 0);
}

TEST_F(OutboxTest, AnImageIsOwedToItsNodeWhereverTheNodeNowStands)
{
    // A's image waits; B takes A's row: B never gets it, and the operator hears
    // that A is gone. A in another row gets it.
    const int downA = freePort();
    Outbox outbox(program.path());
    deliver("2.25.103", {"||", QString("NODEA|127.0.0.1|%1").arg(downA), "||"}, outbox);
    ASSERT_EQ(outbox.count(), 1);
    StoreScp b("NODEB");
    const RoundReport swapped = round(outbox, {"||", b.setting(), "||"});
    EXPECT_TRUE(b.received().isEmpty());
    EXPECT_EQ(swapped.waitingForGone, (std::map<QString, int>{{"NODEA", 1}}));
    EXPECT_EQ(outbox.count(), 1);

    StoreScp a("NODEA");
    const RoundReport moved = round(outbox, {"||", b.setting(), a.setting()});
    EXPECT_EQ(moved.confirmed, 1);
    EXPECT_EQ(instanceUids(a), QStringList{"2.25.103"});
    EXPECT_TRUE(b.received().isEmpty());
    EXPECT_EQ(outbox.count(), 0);
}

TEST_F(OutboxTest, ADeadNodeCostsOneTryPerRoundAndARefusedImageDoesNotStopTheOthers)
{
    SilentPeer silent;
    StoreScp alive("ALIVE");
    Outbox outbox(program.path());
    const std::array<QString, 3> both{silent.setting(), alive.setting(), "||"};
    for (const char* uid : {"2.25.104", "2.25.105", "2.25.106"}) {
        Image image = makeImage(uid);
        OutboxEntry entry = film(uid);
        entry.kept = QDateTime::currentDateTime();
        entry.owed = {{"SILENT", "127.0.0.1", 0, {}, {}}, {"ALIVE", "127.0.0.1", 0, {}, {}}};
        outbox.keep(image, entry);
    }
    const RoundReport first = round(outbox, both);
    EXPECT_EQ(silent.connections(), 1);
    EXPECT_EQ(first.confirmed, 3);
    EXPECT_EQ(instanceUids(alive).size(), 3);
    ASSERT_EQ(first.failures.size(), 1u);
    EXPECT_EQ(first.failures[0].node.aeTitle, "SILENT");
    for (const OutboxEntry& entry : outbox.entries())
        EXPECT_EQ(owedTitles(entry), QStringList{"SILENT"});

    StatusScp refusing(0xA700, "SILENT");
    const RoundReport refused = round(outbox, {refusing.setting(), "||", "||"});
    EXPECT_EQ(refusing.storeRequests(), 3);
    EXPECT_EQ(refused.confirmed, 0);
    EXPECT_EQ(outbox.count(), 3);
}

TEST_F(OutboxTest, NodesAreSentToAtTheSameTimeAndASlowOneCannotHoldTheFilm)
{
    // The first row reads slowly: the other rows are done long before, and the
    // slow one is cut at the deadline. Failures are told in row order.
    timeouts = {.acseSeconds = 5, .dimseSeconds = 30, .sendBaseSeconds = 2, .sendBytesPerSecond = qint64(1) << 40};
    StoreScp slow("SLOW", {"--sleep-during", "30"});
    const int down = freePort();
    StoreScp fast("FAST");
    Outbox outbox(program.path());
    QElapsedTimer clock;
    clock.start();
    const FilmDelivery delivery =
        deliver("2.25.107", {slow.setting(), QString("DOWN|127.0.0.1|%1").arg(down), fast.setting()}, outbox);
    EXPECT_LT(clock.elapsed(), 10000) << "the slow node held the film";
    EXPECT_EQ(instanceUids(fast), QStringList{"2.25.107"});
    const std::vector<NodeResult> failures = delivery.failures();
    ASSERT_EQ(failures.size(), 2u);
    EXPECT_EQ(failures[0].node.aeTitle, "SLOW");
    EXPECT_TRUE(failures[0].failure.contains("no end within 2 seconds")) << failures[0].failure.toStdString();
    EXPECT_EQ(failures[1].node.aeTitle, "DOWN");
    EXPECT_EQ(owedTitles(outbox.entries().at(0)), (QStringList{"SLOW", "DOWN"}));
}

TEST_F(OutboxTest, CancelStopsEverySendAndTheImageStaysOwed)
{
    StoreScp slow("SLOW", {"--sleep-during", "30"});
    Outbox outbox(program.path());
    DeliveryProgress progress;
    std::thread canceller([&] {
        while (progress.rows().empty() || progress.rows()[0].done == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        progress.cancel();
    });
    QElapsedTimer clock;
    clock.start();
    const FilmDelivery delivery = deliver("2.25.108", {slow.setting(), "||", "||"}, outbox, &progress);
    canceller.join();
    EXPECT_LT(clock.elapsed(), 10000);
    EXPECT_TRUE(delivery.cancelled);
    EXPECT_TRUE(delivery.safe());
    ASSERT_EQ(delivery.failures().size(), 1u);
    EXPECT_TRUE(delivery.failures()[0].failure.contains("cancelled by the operator"));
    EXPECT_EQ(progress.rows().at(0).state, "failed");
    EXPECT_EQ(owedTitles(outbox.entries().at(0)), QStringList{"SLOW"});
}

TEST_F(OutboxTest, WhatCannotBeParsedGoesAsideWhatCannotBeReadWaits)
{
    Outbox outbox(program.path());
    StoreScp node("NODE");
    deliver("2.25.109", {QString("NODE|127.0.0.1|%1").arg(freePort()), "||", "||"}, outbox);
    deliver("2.25.110", {QString("NODE|127.0.0.1|%1").arg(freePort()), "||", "||"}, outbox);
    const QDir dir(outbox.folder());
    QFile broken(dir.filePath("2.25.109.entry"));
    ASSERT_TRUE(broken.open(QIODevice::WriteOnly | QIODevice::Truncate));
    broken.write("{ not an entry");
    broken.close();
    EXPECT_EQ(outbox.entries().size(), 1u);
    EXPECT_TRUE(QFile::exists(dir.filePath("damaged/2.25.109.entry")));
    EXPECT_TRUE(QFile::exists(dir.filePath("damaged/2.25.109.dcm")));
    EXPECT_EQ(outbox.damagedCount(), 1);

    // An image the round may not read (its rights) waits and is named.
    QFile::setPermissions(dir.filePath("2.25.110.dcm"), QFile::WriteOwner);
    QFile::setPermissions(outbox.folder(), QFile::ReadOwner | QFile::ExeOwner | QFile::ReadOther | QFile::ExeOther);
    QFile::setPermissions(program.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadOther | QFile::ExeOther);
    const int outcome = runUnprivileged([&] {
        const RoundReport unread = round(outbox, {node.setting(), "||", "||"});
        return unread.confirmed == 0 && unread.unreadable.size() == 1 && unread.unreadable[0].contains("2.25.110") ? 0 : 1;
    });
    QFile::setPermissions(outbox.folder(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QFile::setPermissions(dir.filePath("2.25.110.dcm"), QFile::ReadOwner | QFile::WriteOwner);
    EXPECT_EQ(outcome, 0);
    EXPECT_EQ(outbox.count(), 1) << "an image that cannot be read now is not moved aside";

    // Removing keeps the image, out of the way.
    outbox.remove(outbox.entries().at(0));
    EXPECT_EQ(outbox.count(), 0);
    EXPECT_TRUE(QFile::exists(dir.filePath("removed/2.25.110.dcm")));
}

TEST_F(OutboxTest, TidyingAfterACrashKeepsWhatCountsAndConvertsEntriesOfTheEarlierForm)
{
    Outbox outbox(program.path());
    deliver("2.25.111", {"||", "||", "||"}, outbox); // waits with its entry
    const QDir dir(outbox.folder());
    // A write-ahead cut short, a temporary file, and an entry of the earlier form.
    ASSERT_TRUE(QFile::copy(dir.filePath("2.25.111.dcm"), dir.filePath("2.25.112.dcm")));
    ASSERT_TRUE(QFile::copy(dir.filePath("2.25.111.dcm"), dir.filePath(".writing-2.25.113.dcm")));
    ASSERT_TRUE(QFile::copy(dir.filePath("2.25.111.dcm"), dir.filePath("20261207101530123-2.25.111-n1.dcm")));
    QFile::remove(dir.filePath("2.25.111.entry"));
    QFile::remove(dir.filePath("2.25.111.dcm"));
    outbox.tidy(parseRemoteNodes({"||", "OLD|10.0.0.9|104", "||"}));
    EXPECT_EQ(dir.entryList(QDir::Files | QDir::Hidden), (QStringList{"2.25.111.dcm", "2.25.111.entry"}));
    const std::vector<OutboxEntry> entries = outbox.entries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(owedTitles(entries[0]), QStringList{"OLD"});
    EXPECT_EQ(entries[0].owed[0].host, "10.0.0.9");
    EXPECT_EQ(entries[0].owed[0].port, 104);
    EXPECT_EQ(entries[0].patientId, "4711");
}

TEST_F(OutboxTest, AnOutboxThatCannotBeWrittenIsReportedAndTheScanIsNotSafe)
{
    QDir(program.path()).mkdir("readonly");
    const QString folder = program.filePath("readonly");
    QFile::setPermissions(program.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadOther | QFile::ExeOther);
    QFile::setPermissions(folder, QFile::ReadOwner | QFile::ExeOwner | QFile::ReadOther | QFile::ExeOther);
    const Image image = makeImage("2.25.114");
    const int outcome = runUnprivileged([&] {
        Outbox outbox(folder);
        const FilmDelivery delivery = deliverFilm(image, film("2.25.114"), {}, "SKIASCAN", timeouts, outbox);
        if (delivery.kept || delivery.safe())
            return 1;
        return delivery.keepFailure.contains("could not be kept in the outbox") ? 0 : 2;
    });
    EXPECT_EQ(outcome, 0);
    EXPECT_FALSE(QDir(folder).exists("Outbox"));
}

// Two nodes confirm the same images in one round, each on its own thread: every
// strike-off must go by the entry as it stands, not by the copy the round took,
// or the node struck off first would be owed again.
TEST_F(OutboxTest, TwoNodesConfirmingTheSameImagesInOneRoundLeaveNothingOwed)
{
    Outbox outbox(program.path());
    for (const QString uid : {"2.25.301", "2.25.302", "2.25.303"}) {
        const FilmDelivery kept = deliver(uid, {QString("ONE|127.0.0.1|%1").arg(freePort()),
                                                QString("TWO|127.0.0.1|%1").arg(freePort()), "||"}, outbox);
        ASSERT_TRUE(kept.kept);
    }
    ASSERT_EQ(outbox.count(), 3);
    StoreScp one("ONE");
    StoreScp two("TWO");
    const RoundReport report = round(outbox, {one.setting(), two.setting(), "||"});
    EXPECT_EQ(report.confirmed, 6);
    EXPECT_EQ(outbox.count(), 0) << "an image is still owed to a node that confirmed it";
    EXPECT_EQ(instanceUids(one), (QStringList{"2.25.301", "2.25.302", "2.25.303"}));
    EXPECT_EQ(instanceUids(two), (QStringList{"2.25.301", "2.25.302", "2.25.303"}));
}
