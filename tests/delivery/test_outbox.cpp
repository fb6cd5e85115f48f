#include "common/failure.h"
#include "dicom/image_attributes.h"
#include "delivery/delivery.h"
#include "support/dicom_file.h"
#include "support/peers.h"
#include "support/qt_printers.h"
#include "support/tiff_writer.h"
#include "support/unprivileged.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace skiascan;
using namespace skiascan::test;
using dicom::Image;

namespace {

class OutboxTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        dicom::setNetworkTimeouts({5, 2, 5});
        writeFilmTiff(program.filePath("scan.tif"));
    }
    void TearDown() override { dicom::setNetworkTimeouts({}); }

    Image makeImage(const QString& instanceUid)
    {
        Image image;
        image.importFile(program.filePath("scan.tif"), "TIF");
        const dicom::ImageRecord r{"Smith", "John", "", "4711", "19600201", "M", "20261207", "", "", "", "CHEST", "1500", "3000"};
        dicom::setImageProperties(image, r);
        dicom::addImageAttributes(image, r, {"2.25.1", "10:00:00", "2.25.2", instanceUid, 1}, QDate(2026, 12, 7),
                           [] { return QTime(10, 0, 1); });
        return image;
    }

    QTemporaryDir program;
};

QStringList instanceUids(const StoreScp& node)
{
    QStringList uids;
    for (const QString& file : node.received())
        uids << DicomFile(file).text(DCM_SOPInstanceUID);
    return uids;
}

} // namespace

TEST_F(OutboxTest, EntryNamesCarryTimeImageAndOwedNodes)
{
    EXPECT_EQ(Outbox::entryName("20261207101530123", "2.25.9", {0, 2}, false), "20261207101530123-2.25.9-n02.dcm");
    EXPECT_EQ(Outbox::entryName("20261207101530123", "2.25.9", {}, true), "20261207101530123-2.25.9-any.dcm");
    Outbox::Entry entry;
    ASSERT_TRUE(Outbox::parseName("20261207101530123-2.25.9-n12.dcm", entry));
    EXPECT_EQ(entry.owed, (std::vector<int>{1, 2}));
    EXPECT_FALSE(entry.anyNode);
    ASSERT_TRUE(Outbox::parseName("20261207101530123-2.25.9-any.dcm", entry));
    EXPECT_TRUE(entry.anyNode);
    for (const char* bad : {"2026-2.25.9-n1.dcm", "20261207101530123-2.25.9-n.dcm", "20261207101530123-2.25.9-n3.dcm",
                            "20261207101530123-2.25.9-n1.tmp", ".writing-2.25.9.dcm"})
        EXPECT_FALSE(Outbox::parseName(bad, entry)) << bad;
}

TEST_F(OutboxTest, NodeTwoFailingKeepsTheImageForNodeTwoOnly)
{
    StoreScp first("FIRST");
    StoreScp third("THIRD");
    const int down = freePort();
    const RemoteSettings remotes{first.setting(), QString("SECOND|127.0.0.1|%1").arg(down), third.setting()};
    Outbox outbox(program.path());
    Image image = makeImage("2.25.100");
    const DeliveryReport report = deliverImage(image, remotes, "SKIASCAN", outbox);
    ASSERT_EQ(report.failures.size(), 1u);
    EXPECT_EQ(report.failures[0].slot, 1);
    EXPECT_TRUE(report.failures[0].unreachable);
    EXPECT_TRUE(report.failures[0].description.contains(QString("SECOND (127.0.0.1:%1)").arg(down)));
    EXPECT_TRUE(report.kept);
    EXPECT_TRUE(report.safe());
    EXPECT_EQ(instanceUids(first), QStringList{"2.25.100"});
    EXPECT_EQ(instanceUids(third), QStringList{"2.25.100"});

    const auto entries = outbox.entries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].owed, std::vector<int>{1});
    EXPECT_EQ(entries[0].sopInstanceUid, "2.25.100");

    // The node comes back: the next round delivers it there, and only there.
    StoreScp second("SECOND");
    const RemoteSettings fixed{first.setting(), second.setting(), third.setting()};
    const OutboxRound round = resendOutbox(outbox, fixed, "SKIASCAN");
    EXPECT_EQ(round.delivered, 1);
    EXPECT_EQ(instanceUids(second), QStringList{"2.25.100"});
    EXPECT_EQ(first.received().size(), 1);
    EXPECT_EQ(outbox.count(), 0);
}

TEST_F(OutboxTest, AllNodesConfirmingLeavesNothingBehind)
{
    StoreScp node;
    Outbox outbox(program.path());
    Image image = makeImage("2.25.101");
    const DeliveryReport report = deliverImage(image, {node.setting(), "||", ""}, "SKIASCAN", outbox);
    EXPECT_TRUE(report.failures.empty());
    EXPECT_FALSE(report.kept);
    EXPECT_TRUE(report.safe());
    EXPECT_EQ(outbox.count(), 0);
}

TEST_F(OutboxTest, WithNoNodeConfiguredTheImageWaitsForTheFirstOne)
{
    Outbox outbox(program.path());
    Image image = makeImage("2.25.102");
    const DeliveryReport report = deliverImage(image, {"||", "", "AB"}, "SKIASCAN", outbox);
    EXPECT_TRUE(report.noNodeConfigured);
    EXPECT_TRUE(report.kept);
    ASSERT_EQ(outbox.count(), 1);
    EXPECT_TRUE(outbox.entries()[0].anyNode);

    resendOutbox(outbox, {"||", "||", "||"}, "SKIASCAN");
    EXPECT_EQ(outbox.count(), 1) << "still no node";

    StoreScp node;
    const OutboxRound round = resendOutbox(outbox, {"||", node.setting(), "||"}, "SKIASCAN");
    EXPECT_EQ(round.delivered, 1);
    EXPECT_EQ(instanceUids(node), QStringList{"2.25.102"});
    EXPECT_EQ(outbox.count(), 0);
}

TEST_F(OutboxTest, ANodeNoLongerConfiguredKeepsItsImagesWaiting)
{
    Outbox outbox(program.path());
    Image image = makeImage("2.25.103");
    deliverImage(image, {QString("GONE|127.0.0.1|%1").arg(freePort()), "||", "||"}, "SKIASCAN", outbox);
    ASSERT_EQ(outbox.count(), 1);
    StoreScp other;
    const OutboxRound round = resendOutbox(outbox, {"||", other.setting(), "||"}, "SKIASCAN");
    EXPECT_EQ(round.delivered, 0);
    EXPECT_TRUE(other.received().isEmpty());
    EXPECT_EQ(outbox.entries()[0].owed, std::vector<int>{0});
}

TEST_F(OutboxTest, ADeadNodeCostsOneTimeoutPerRound)
{
    SilentPeer silent;
    StoreScp alive;
    Outbox outbox(program.path());
    for (const char* uid : {"2.25.104", "2.25.105", "2.25.106"}) {
        Image image = makeImage(uid);
        outbox.add(image, {0, 1});
    }
    const OutboxRound round = resendOutbox(outbox, {silent.setting(), alive.setting(), "||"}, "SKIASCAN");
    EXPECT_EQ(silent.connections(), 1);
    EXPECT_EQ(round.delivered, 3);
    EXPECT_EQ(instanceUids(alive).size(), 3);
    for (const Outbox::Entry& entry : outbox.entries())
        EXPECT_EQ(entry.owed, std::vector<int>{0});

    // Images refused one by one with a failure status do not stop the others.
    StatusScp refusing(0xA700);
    const OutboxRound refused = resendOutbox(outbox, {refusing.setting(), "||", "||"}, "SKIASCAN");
    EXPECT_EQ(refusing.storeRequests(), 3);
    EXPECT_EQ(refused.failures.size(), 3u);
    EXPECT_EQ(outbox.count(), 3);
}

TEST_F(OutboxTest, UnreadableEntriesAreMovedAsideNeverDeleted)
{
    Outbox outbox(program.path());
    QDir().mkpath(outbox.folder());
    const QString name = "20261207101530123-2.25.107-n0.dcm";
    QFile damaged(QDir(outbox.folder()).filePath(name));
    ASSERT_TRUE(damaged.open(QIODevice::WriteOnly));
    damaged.write("not a DICOM file");
    damaged.close();
    StoreScp node;
    resendOutbox(outbox, {node.setting(), "||", "||"}, "SKIASCAN");
    EXPECT_EQ(outbox.count(), 0);
    EXPECT_TRUE(QFile::exists(QDir(outbox.folder()).filePath("damaged/" + name)));
}

TEST_F(OutboxTest, AnOutboxThatCannotBeWrittenIsReportedAndTheScanIsNotSafe)
{
    Image image = makeImage("2.25.108");
    QDir(program.path()).mkdir("readonly");
    const QString folder = program.filePath("readonly");
    QFile::setPermissions(program.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadOther | QFile::ExeOther);
    QFile::setPermissions(folder, QFile::ReadOwner | QFile::ExeOwner | QFile::ReadOther | QFile::ExeOther);
    const int outcome = runUnprivileged([&] {
        Outbox outbox(folder);
        const DeliveryReport report = deliverImage(image, {"||", "||", "||"}, "SKIASCAN", outbox);
        if (report.kept || report.safe())
            return 1;
        return report.keepFailure.contains("could not be kept in the outbox") ? 0 : 2;
    });
    EXPECT_EQ(outcome, 0);
    EXPECT_FALSE(QDir(folder).exists("Outbox"));
}
