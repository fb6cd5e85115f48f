// The outbox and the delivery service against real nodes: the write-ahead,
// images owed to nodes (AE title, address and port), one worker per node,
// retries by themselves, transfers that are slow but moving, Cancel and stop.
#include "common/failure.h"
#include "delivery/delivery_service.h"
#include "dicom/image_attributes.h"
#include "support/certificates.h"
#include "support/dicom_file.h"
#include "support/peers.h"
#include "support/qt_printers.h"
#include "support/throttling_proxy.h"
#include "support/tiff_writer.h"
#include "support/unprivileged.h"
#include "support/worklist_server.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace skiascan;
using namespace skiascan::test;
using dicom::Image;
using namespace std::chrono_literals;

namespace {

std::vector<Node> nodes(const std::array<QString, 3>& remotes)
{
    return configuredNodes(parseRemoteNodes(remotes));
}

class OutboxTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        writeFilmTiff(program.filePath("scan.tif"));
        service.setTiming({.pauses = {300ms, 600ms}});
    }

    Image makeImage(const QString& instanceUid, const QString& tiff = {})
    {
        Image image;
        image.importFile(tiff.isEmpty() ? program.filePath("scan.tif") : tiff, "TIF");
        const dicom::StudyRecord r{"Smith", "John", "", "4711", "19600201", "M", "20261207", "", "", "", "CHEST", "1500", "3000"};
        dicom::setImageProperties(image, r);
        dicom::addImageAttributes(image, r, {"2.25.1", "10:00:00", "2.25.2", instanceUid, 1, {}}, QDate(2026, 12, 7),
                                  [] { return QTime(10, 0, 1); });
        return image;
    }

    // A film written ahead owing `owedTo` (the nodes configured now, unless
    // given), as the session hands it over, then given to the service.
    void keep(const QString& uid, const std::vector<Node>& owedTo, const QString& tiff = {})
    {
        Image image = makeImage(uid, tiff);
        OutboxEntry entry;
        entry.instanceUid = uid;
        entry.patientName = "Smith^John";
        entry.patientId = "4711";
        entry.number = 1;
        entry.scanned = entry.kept = QDateTime::currentDateTime();
        for (const Node& node : owedTo)
            entry.owed.push_back({node.aeTitle, node.host, node.port, {}, {}});
        entry.anyNode = owedTo.empty();
        Image copy = image.sharedCopy();
        service.filmComing(entry, image);
        outbox.keep(copy, entry);
        service.filmKept(entry);
    }

    void configure(const std::array<QString, 3>& remotes) { service.configure(nodes(remotes), "SKIASCAN", timeouts); }

    const NodeStatus& statusOf(const QString& aeTitle)
    {
        shown = service.status();
        for (const NodeStatus& status : shown)
            if (status.node.aeTitle == aeTitle)
                return status;
        throw std::runtime_error("no such node");
    }

    QStringList owedTitles(const QString& uid)
    {
        QStringList titles;
        for (const OutboxEntry& entry : outbox.entries())
            if (entry.instanceUid == uid)
                for (const OwedNode& owed : entry.owed)
                    titles << owed.aeTitle;
        return titles;
    }

    // Short enough that a silent node costs a test two seconds.
    dicom::NetworkTimeouts timeouts{.acseSeconds = 2, .dimseSeconds = 5};
    QTemporaryDir program;
    DeliveryService service{program.path()};
    Outbox& outbox{service.outbox()};
    std::vector<NodeStatus> shown;
};

QStringList instanceUids(const StoreScp& node)
{
    return valuesIn(node.received(), DCM_SOPInstanceUID);
}

} // namespace

TEST_F(OutboxTest, AFilmGoesToEveryNodeAndANodeThatIsDownGetsItWhenBackWithoutAClick)
{
    StoreScp first("FIRST");
    StoreScp second("SECOND");
    second.stop();
    StoreScp third("THIRD");
    configure({first.setting(), second.setting(), third.setting()});
    QSignalSpy down(&service, &DeliveryService::nodeDown);
    QSignalSpy back(&service, &DeliveryService::nodeBack);
    keep("2.25.100", service.nodes());
    keep("2.25.101", service.nodes());

    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            return instanceUids(first).size() == 2 && instanceUids(third).size() == 2 && statusOf("SECOND").failing
                && owedTitles("2.25.100") == QStringList{"SECOND"} && owedTitles("2.25.101") == QStringList{"SECOND"};
        },
        10000));
    EXPECT_EQ(instanceUids(first), (QStringList{"2.25.100", "2.25.101"}));
    EXPECT_EQ(owedTitles("2.25.100"), QStringList{"SECOND"});
    const OutboxEntry entry = outbox.entries().at(0);
    EXPECT_TRUE(entry.heldAt({"FIRST", "127.0.0.1", first.port()}));
    EXPECT_TRUE(entry.heldAt({"THIRD", "127.0.0.1", third.port()}));
    EXPECT_TRUE(entry.owed[0].lastFailure.contains("SECOND")) << entry.owed[0].lastFailure.toStdString();

    // Tried again by itself after its pause; told once down, once back.
    second.start();
    ASSERT_TRUE(QTest::qWaitFor([&] { return outbox.count() == 0; }, 10000));
    EXPECT_EQ(instanceUids(second), (QStringList{"2.25.100", "2.25.101"}));
    QTest::qWait(100);
    EXPECT_EQ(down.size(), 1);
    EXPECT_EQ(back.size(), 1);
    EXPECT_FALSE(QFile::exists(QDir(outbox.folder()).filePath("2.25.100.dcm")));
}

// A node that fails until the operator mends its row is told back once it
// takes the image: the line then says so.
TEST_F(OutboxTest, ANodeMendedInThePreferencesIsToldBack)
{
    StoreScp archive("ARCHIVE");
    configure({QString("ARCHIVE|127.0.0.1|%1").arg(freePort()), "||", "||"});
    QSignalSpy back(&service, &DeliveryService::nodeBack);
    keep("2.25.170", service.nodes());
    ASSERT_TRUE(QTest::qWaitFor([&] { return statusOf("ARCHIVE").failing; }, 5000));
    configure({archive.setting(), "||", "||"});
    service.sendNow();
    ASSERT_TRUE(QTest::qWaitFor([&] { return outbox.count() == 0 && !back.isEmpty(); }, 10000));
    EXPECT_EQ(back.at(0).at(0).toString(), service.nodes().at(0).name());
    EXPECT_FALSE(statusOf("ARCHIVE").failing);
}

TEST_F(OutboxTest, TwoRowsWithOneAeTitleAreTwoNodesAndAMovedNodeGetsWhatItIsOwed)
{
    StoreScp siteA("PACS");
    StoreScp siteB("PACS");
    configure({siteA.setting(), siteB.setting(), "||"});
    keep("2.25.102", service.nodes());
    ASSERT_TRUE(QTest::qWaitFor([&] { return outbox.count() == 0; }, 10000));
    EXPECT_EQ(instanceUids(siteA), QStringList{"2.25.102"});
    EXPECT_EQ(instanceUids(siteB), QStringList{"2.25.102"});

    // Owed to a node at an address it has left: its AE title in one row is the
    // node moved; in two rows it waits for the operator.
    StoreScp moved("ARCHIVE");
    const std::vector<Node> before = nodes({QString("ARCHIVE|127.0.0.1|%1").arg(freePort()), "||", "||"});
    configure({siteA.setting(), QString("ARCHIVE|127.0.0.1|%1").arg(freePort()), moved.setting()});
    keep("2.25.103", before);
    EXPECT_EQ(service.waitingForGone(), (std::map<QString, int>{{before[0].name(), 1}}));
    configure({siteA.setting(), moved.setting(), "||"});
    service.sendNow();
    ASSERT_TRUE(QTest::qWaitFor([&] { return outbox.count() == 0; }, 10000));
    EXPECT_EQ(instanceUids(moved), QStringList{"2.25.103"});
}

// With compression chosen for both nodes, the node that takes JPEG-LS gets it
// and the one that takes only uncompressed gets that; the copy is made once,
// decodes to the film, and goes with the image.
TEST_F(OutboxTest, ACompressedCopyIsMadeOnceAndEachNodeGetsWhatItAccepts)
{
    StoreScp jpegLs("JPEGLS", {"+xt"});
    StoreScp plain("PLAIN");
    NodeOptions compressed;
    compressed.compression = Compression::JpegLsLossless;
    service.configure(configuredNodes(parseRemoteNodes({jpegLs.setting(), plain.setting(), "||"}),
                                      {compressed, compressed, {}}),
                      "SKIASCAN", timeouts);
    Image reference = makeImage("2.25.160");
    reference.saveFile(program.filePath("reference.dcm"));
    const std::vector<Uint16> built = completeImagePixels(program.filePath("reference.dcm"));
    ASSERT_FALSE(built.empty());
    keep("2.25.160", service.nodes());
    ASSERT_TRUE(QTest::qWaitFor([&] { return outbox.count() == 0; }, 10000));
    ASSERT_EQ(jpegLs.received().size(), 1);
    ASSERT_EQ(plain.received().size(), 1);
    EXPECT_EQ(DicomFile(jpegLs.received()[0]).transferSyntax(), "1.2.840.10008.1.2.4.80");
    EXPECT_EQ(DicomFile(plain.received()[0]).transferSyntax(), "1.2.840.10008.1.2.1");
    EXPECT_EQ(completeImagePixels(jpegLs.received()[0]), built);
    EXPECT_EQ(completeImagePixels(plain.received()[0]), built);
    ASSERT_TRUE(QTest::qWaitFor([&] { return service.settled(); }, 5000));
    EXPECT_EQ(statusOf("JPEGLS").sentAs, "JPEG-LS lossless");
    EXPECT_EQ(statusOf("PLAIN").sentAs, "uncompressed");
    EXPECT_TRUE(QDir(outbox.folder()).entryList({"*.jls"}, QDir::Files).isEmpty()) << "the copy outlived its image";
}

TEST_F(OutboxTest, WithoutNodesTheImageWaitsForTheFirstOneConfigured)
{
    configure({"||", "", "AB"});
    keep("2.25.104", {});
    StoreScp later("LATER");
    configure({"||", later.setting(), "||"});
    service.wake();
    ASSERT_TRUE(QTest::qWaitFor([&] { return outbox.count() == 0; }, 10000));
    EXPECT_EQ(instanceUids(later), QStringList{"2.25.104"});
}

TEST_F(OutboxTest, ASilentNodeHoldsNoOneAndCancelEndsItsAssociationRequestAtOnce)
{
    SilentPeer silent;
    StoreScp alive("ALIVE");
    timeouts.acseSeconds = 30;
    configure({silent.setting(), alive.setting(), "||"});
    keep("2.25.105", service.nodes());
    ASSERT_TRUE(QTest::qWaitFor([&] { return instanceUids(alive).size() == 1; }, 5000));
    ASSERT_TRUE(silent.waitForConnections(1, 5000));
    QTest::qWait(200);
    QElapsedTimer clock;
    clock.start();
    service.cancel(NodeId{"SILENT", "127.0.0.1", silent.port()});
    ASSERT_TRUE(QTest::qWaitFor([&] { return statusOf("SILENT").activity == NodeStatus::Activity::Waiting; }, 10000));
    // At once: far from the 30 s of the association request, with room for
    // a machine busy with a sanitizer build beside the test.
    EXPECT_LT(clock.elapsed(), 3000);
    EXPECT_TRUE(statusOf("SILENT").lastFailure.contains("cancelled by the operator"))
        << statusOf("SILENT").lastFailure.toStdString();
    EXPECT_FALSE(statusOf("SILENT").failing) << "a cancel is no failure of the node";
    EXPECT_EQ(owedTitles("2.25.105"), QStringList{"SILENT"});

    // Without Cancel the request ends at its own limit and says so.
    timeouts.acseSeconds = 1;
    configure({silent.setting(), alive.setting(), "||"});
    service.sendNow();
    ASSERT_TRUE(QTest::qWaitFor([&] { return statusOf("SILENT").failing; }, 5000));
    EXPECT_TRUE(statusOf("SILENT").lastFailure.contains("does not answer: no answer to the association request within 1 s"))
        << statusOf("SILENT").lastFailure.toStdString();
}

namespace {

int threadsOfThisProcess()
{
    return static_cast<int>(QDir("/proc/self/task").entryList(QDir::Dirs | QDir::NoDotAndDotDot).size());
}

} // namespace

// Stop joins every worker, also one whose connection request goes unanswered
// and one whose association request does: nothing of them runs afterwards.
TEST_F(OutboxTest, StopJoinsWorkersThatStillConnectOrWaitForTheAssociation)
{
    UnansweredHost dropping;
    SilentPeer silent;
    timeouts.acseSeconds = 30;
    const int threads = threadsOfThisProcess();
    configure({dropping.setting("DROPPING"), silent.setting(), "||"});
    keep("2.25.150", service.nodes());
    ASSERT_TRUE(silent.waitForConnections(1, 5000));
    ASSERT_TRUE(QTest::qWaitFor([&] { return statusOf("DROPPING").activity == NodeStatus::Activity::Connecting; }, 5000));
    QTest::qWait(200); // well into the connect, which by itself would last 10 s
    QElapsedTimer clock;
    clock.start();
    service.stop();
    // A second of grace, then the cut: far from the 10 s of the connect and
    // the 30 s of the association request (under a sanitizer too).
    EXPECT_LT(clock.elapsed(), 5000);
    EXPECT_EQ(threadsOfThisProcess(), threads) << "a worker, or a guard of its, still runs";
    EXPECT_EQ(owedTitles("2.25.150"), (QStringList{"DROPPING", "SILENT"}));
}

TEST_F(OutboxTest, ASlowLinkGetsALargeFilmInOneTransferAndStopCutsItAtOnce)
{
    // 2 seconds of a link at 64 KB/s for a film of 128 KB; no byte stands
    // still for the 1 second the connection allows, so nothing cuts it.
    writeFilmTiff(program.filePath("large.tif"), 512, 256);
    StoreScp node("SLOWPACS");
    ThrottlingProxy link(node.port(), 64 * 1024);
    timeouts.dimseSeconds = 1;
    configure({link.setting("SLOWPACS"), "||", "||"});
    keep("2.25.106", service.nodes(), program.filePath("large.tif"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return outbox.count() == 0; }, 20000)) << statusOf("SLOWPACS").lastFailure.toStdString();
    EXPECT_EQ(instanceUids(node), QStringList{"2.25.106"});
    EXPECT_EQ(link.connections(), 1);

    keep("2.25.107", service.nodes(), program.filePath("large.tif"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return statusOf("SLOWPACS").done > 0; }, 5000));
    QElapsedTimer clock;
    clock.start();
    service.stop();
    EXPECT_LT(clock.elapsed(), 1500);
    EXPECT_EQ(owedTitles("2.25.107"), QStringList{"SLOWPACS"});
}

TEST_F(OutboxTest, ARefusedImageDoesNotStopTheOthersAndWaitsForAPauseOfItsOwn)
{
    StatusScp refusing(0xA700, "REFUSING");
    configure({refusing.setting(), "||", "||"});
    for (const QString uid : {"2.25.108", "2.25.109", "2.25.110"})
        keep(uid, service.nodes());
    ASSERT_TRUE(QTest::qWaitFor([&] { return refusing.storeRequests() == 3; }, 10000));
    service.wake();
    QTest::qWait(100);
    EXPECT_EQ(refusing.storeRequests(), 3) << "a refused image went again before its pause";
    EXPECT_EQ(outbox.count(), 3);
    EXPECT_TRUE(statusOf("REFUSING").failing) << "a node that refuses images fails";
    EXPECT_TRUE(QTest::qWaitFor([&] { return refusing.storeRequests() >= 6; }, 5000)) << "and after it, it did not";
}

// Two workers confirm the same images at once: every strike-off goes by the
// entry as it stands, not by the copy the worker took, or the node struck off
// first would be owed again.
TEST_F(OutboxTest, TwoNodesConfirmingTheSameImagesAtOnceLeaveNothingOwed)
{
    const std::vector<Node> before = nodes({QString("ONE|127.0.0.1|%1").arg(freePort()),
                                            QString("TWO|127.0.0.1|%1").arg(freePort()), "||"});
    for (const QString uid : {"2.25.301", "2.25.302", "2.25.303"})
        keep(uid, before);
    StoreScp one("ONE");
    StoreScp two("TWO");
    configure({one.setting(), two.setting(), "||"});
    service.wake();
    ASSERT_TRUE(QTest::qWaitFor([&] { return outbox.count() == 0; }, 10000))
        << "an image is still owed to a node that confirmed it";
    EXPECT_EQ(instanceUids(one), (QStringList{"2.25.301", "2.25.302", "2.25.303"}));
    EXPECT_EQ(instanceUids(two), (QStringList{"2.25.301", "2.25.302", "2.25.303"}));
}

TEST_F(OutboxTest, WhatCannotBeParsedGoesAsideWhatCannotBeReadWaits)
{
    const std::vector<Node> gone = nodes({QString("NODE|127.0.0.1|%1").arg(freePort()), "||", "||"});
    keep("2.25.111", gone);
    keep("2.25.112", gone);
    const QDir dir(outbox.folder());
    QFile broken(dir.filePath("2.25.111.entry"));
    ASSERT_TRUE(broken.open(QIODevice::WriteOnly | QIODevice::Truncate));
    broken.write("{ not an entry");
    broken.close();
    EXPECT_EQ(outbox.entries().size(), 1u);
    EXPECT_TRUE(QFile::exists(dir.filePath("damaged/2.25.111.entry")));
    EXPECT_TRUE(QFile::exists(dir.filePath("damaged/2.25.111.dcm")));
    EXPECT_EQ(outbox.damagedCount(), 1);

    // An image that may not be read now (its rights) is no damaged image. (Its
    // entry, readable by the program's user only, is read before.)
    const OutboxEntry entry = outbox.entries().at(0);
    QFile::setPermissions(dir.filePath("2.25.112.dcm"), QFile::WriteOwner);
    QFile::setPermissions(outbox.folder(), QFile::ReadOwner | QFile::ExeOwner | QFile::ReadOther | QFile::ExeOther);
    QFile::setPermissions(program.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadOther | QFile::ExeOther);
    const int outcome = runUnprivileged([&] {
        try {
            outbox.loadImage(entry);
        } catch (const Failure& e) {
            return e.kind() == Failure::Kind::File ? 0 : 1;
        }
        return 2;
    });
    QFile::setPermissions(outbox.folder(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QFile::setPermissions(dir.filePath("2.25.112.dcm"), QFile::ReadOwner | QFile::WriteOwner);
    EXPECT_EQ(outcome, 0);

    // Removing keeps the image, out of the way.
    outbox.remove(outbox.entries().at(0));
    EXPECT_EQ(outbox.count(), 0);
    EXPECT_TRUE(QFile::exists(dir.filePath("removed/2.25.112.dcm")));
}

TEST_F(OutboxTest, TidyingAfterACrashKeepsWhatCountsAndConvertsEntriesOfTheEarlierForm)
{
    keep("2.25.113", {}); // waits with its entry
    const QDir dir(outbox.folder());
    // A write-ahead cut short, a temporary file, and an entry of the earlier form.
    ASSERT_TRUE(QFile::copy(dir.filePath("2.25.113.dcm"), dir.filePath("2.25.114.dcm")));
    ASSERT_TRUE(QFile::copy(dir.filePath("2.25.113.dcm"), dir.filePath(".writing-2.25.115.dcm")));
    ASSERT_TRUE(QFile::copy(dir.filePath("2.25.113.dcm"), dir.filePath("20261207101530123-2.25.113-n1.dcm")));
    QFile::remove(dir.filePath("2.25.113.entry"));
    QFile::remove(dir.filePath("2.25.113.dcm"));
    outbox.tidy(parseRemoteNodes({"||", "OLD|10.0.0.9|104", "||"}));
    EXPECT_EQ(dir.entryList(QDir::Files | QDir::Hidden), (QStringList{"2.25.113.dcm", "2.25.113.entry"}));
    EXPECT_EQ(owedTitles("2.25.113"), QStringList{"OLD"});
    const OutboxEntry entry = outbox.entries().at(0);
    EXPECT_EQ(entry.owed[0].host, "10.0.0.9");
    EXPECT_EQ(entry.owed[0].port, 104);
    EXPECT_EQ(entry.patientId, "4711");
}

TEST_F(OutboxTest, AnOutboxThatCannotBeWrittenLeavesNothingBehind)
{
    QDir(program.path()).mkdir("readonly");
    const QString folder = program.filePath("readonly");
    QFile::setPermissions(program.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadOther | QFile::ExeOther);
    QFile::setPermissions(folder, QFile::ReadOwner | QFile::ExeOwner | QFile::ReadOther | QFile::ExeOther);
    Image image = makeImage("2.25.116");
    const int outcome = runUnprivileged([&] {
        OutboxEntry entry;
        entry.instanceUid = "2.25.116";
        entry.anyNode = true;
        try {
            Outbox(folder).keep(image, entry);
        } catch (const Failure& e) {
            return e.description().contains("could not be kept in the outbox") ? 0 : 2;
        }
        return 1;
    });
    EXPECT_EQ(outcome, 0);
    EXPECT_FALSE(QDir(folder).exists("Outbox"));
}

// ------------------------------------------------------- storage commitment

namespace {

// The node of `remote`, asked for storage commitment.
std::vector<Node> committingNode(const QString& remote)
{
    std::array<NodeOptions, 3> options{};
    options[0].storageCommitment = true;
    return configuredNodes(parseRemoteNodes({remote, "", ""}), options);
}

} // namespace

TEST_F(OutboxTest, AnImageLeavesTheOutboxWhenTheNodeReportsThatItCommittedToIt)
{
    const int station = freePort();
    OrthancServer orthanc("SKIASCAN", station);
    const std::vector<Node> node = committingNode(orthanc.setting());
    service.configure(node, "SKIASCAN", timeouts, quint16(station));
    ASSERT_EQ(service.listening(), station);
    EXPECT_TRUE(dicom::verify("127.0.0.1", orthanc.dicomPort(), "ORTHANC", "SKIASCAN", timeouts).acceptsCommitment);
    // Only a configured node may report.
    EXPECT_EQ(sendCommitmentReport(station, "STRANGER", "SKIASCAN", "2.25.9", {"2.25.300"}, {}), -1);

    keep("2.25.300", node);
    keep("2.25.301", node);
    ASSERT_TRUE(QTest::qWaitFor([&] { return outbox.count() == 0; }, 20000));
    EXPECT_TRUE(orthanc.get("/statistics").contains("\"CountInstances\" : 2")) << orthanc.get("/statistics").data();
    ASSERT_TRUE(QTest::qWaitFor([&] { return service.settled(); }, 5000));
    EXPECT_EQ(statusOf("ORTHANC").awaiting, 0);

    // A caller that connects and says nothing does not hold the end, however
    // long the association request may take.
    service.configure(node, "SKIASCAN", {.acseSeconds = 30, .dimseSeconds = 30}, quint16(station));
    const int silent = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(quint16(station));
    ASSERT_EQ(::connect(silent, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    // Nothing tells when the listener has taken the connection; a moment
    // lets it (were it not taken, the end would be quick all the same).
    QTest::qWait(300);
    QElapsedTimer ending;
    ending.start();
    service.stop();
    EXPECT_LT(ending.elapsed(), 5000);
    ::close(silent);
}

// Another program holds the station's port: the outbox window says why the
// reports cannot arrive, and the port is taken once it is free.
TEST_F(OutboxTest, AStationPortThatIsTakenIsNamedAndTriedAgainAndNoScannerKeepsIt)
{
    const int station = freePort();
    OrthancServer orthanc("SKIASCAN", station);
    // Not handed on to programs started later, which would hold the port.
    const int holder = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(quint16(station));
    ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    const std::vector<Node> node = committingNode(orthanc.setting());
    service.setTiming({.pauses = {300ms, 600ms}, .commitmentWait = 1000ms, .listenRetry = 200ms});
    service.configure(node, "SKIASCAN", timeouts, quint16(station));
    EXPECT_EQ(service.listening(), 0);

    keep("2.25.310", node);
    ASSERT_TRUE(QTest::qWaitFor([&] { return statusOf("ORTHANC").awaiting == 1; }, 10000));
    const QString text = statusOf("ORTHANC").commitmentText();
    EXPECT_TRUE(text.contains(QString("; its reports cannot arrive: Cannot take storage commitment reports on port %1")
                                  .arg(station)))
        << text.toStdString();

    ::close(holder);
    ASSERT_TRUE(QTest::qWaitFor([&] { return outbox.count() == 0; }, 20000));
    EXPECT_EQ(service.listening(), station);

    // A program started meanwhile (a scanner left running after Quit) does
    // not keep the port once the station lets go of it.
    QProcess scanner;
    scanner.start("sleep", {"30"});
    ASSERT_TRUE(scanner.waitForStarted());
    service.stop();
    const int again = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int reuse = 1;
    ::setsockopt(again, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
    EXPECT_EQ(::bind(again, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ::close(again);
    scanner.kill();
    scanner.waitForFinished();
}

TEST_F(OutboxTest, ANodeSilentOnCommitmentIsAskedAgainAndItsReportIsHonouredAfterARestart)
{
    // Orthanc reports to a port where nothing listens yet.
    const int station = freePort();
    OrthancServer orthanc("SKIASCAN", station);
    const std::vector<Node> node = committingNode(orthanc.setting());
    service.setTiming({.pauses = {300ms, 600ms}, .commitmentWait = 1500ms});
    const auto transactionOf = [&](const QString& uid) {
        for (const OutboxEntry& entry : outbox.entries())
            if (entry.instanceUid == uid && entry.owed.size() == 1 && entry.owed[0].askedAt.isValid())
                return entry.owed[0].transactionUid;
        return QString();
    };
    // Both wait in the outbox when the service starts: one round sends them.
    keep("2.25.400", node);
    keep("2.25.401", node);
    service.configure(node, "SKIASCAN", timeouts);
    service.wake();

    // Stored, and asked about in one request: both stay owed.
    ASSERT_TRUE(QTest::qWaitFor([&] { return !transactionOf("2.25.401").isEmpty(); }, 10000));
    const QString first = transactionOf("2.25.400");
    EXPECT_EQ(transactionOf("2.25.401"), first);
    ASSERT_TRUE(QTest::qWaitFor([&] { return service.settled() && statusOf("ORTHANC").awaiting == 2; }, 5000));
    EXPECT_TRUE(statusOf("ORTHANC").commitmentText().startsWith("awaiting commitment since "));

    // No report in time: asked again, under a new transaction.
    ASSERT_TRUE(QTest::qWaitFor([&] { return !transactionOf("2.25.400").isEmpty() && transactionOf("2.25.400") != first; },
                                10000));
    const QString second = transactionOf("2.25.400");
    EXPECT_EQ(outbox.count(), 2);

    // The program ends and starts again, listening now, with a second node
    // configured. A report of that other node on the transaction changes
    // nothing: it was not asked.
    service.stop();
    StoreScp other("OTHER");
    const std::vector<Node> both = configuredNodes(parseRemoteNodes({orthanc.setting(), other.setting(), ""}),
                                                   {NodeOptions{{}, true}, {}, {}});
    DeliveryService restarted(program.path());
    restarted.setTiming({.pauses = {1000ms, 5000ms}});
    restarted.configure(both, "SKIASCAN", timeouts, quint16(station));
    EXPECT_EQ(sendCommitmentReport(station, "OTHER", "SKIASCAN", second, {"2.25.400", "2.25.401"}, {}), 0);
    EXPECT_EQ(outbox.count(), 2) << "another node's report struck off images it was not asked about";

    // The node's own report on the last request: one image committed, one failed.
    EXPECT_EQ(sendCommitmentReport(station, "ORTHANC", "SKIASCAN", second, {"2.25.400"}, {"2.25.401"}), 0);
    QElapsedTimer sinceReport;
    sinceReport.start();
    EXPECT_EQ(sendCommitmentReport(station, "ORTHANC", "SKIASCAN", "2.25.12345", {"2.25.401"}, {}), 0)
        << "a report on no awaited transaction is answered too";
    EXPECT_FALSE(outbox.holds("2.25.400"));
    // The failed one stays owed, to be sent again: it counts the failure.
    ASSERT_TRUE(outbox.holds("2.25.401")) << "an image the node could not commit to left the outbox";
    const std::vector<OutboxEntry> left = outbox.entries();
    ASSERT_EQ(left.size(), 1u);
    ASSERT_EQ(left[0].owed.size(), 1u);
    EXPECT_EQ(left[0].owed[0].aeTitle, "ORTHANC");
    EXPECT_FALSE(left[0].owed[0].awaitingCommitment());
    EXPECT_EQ(left[0].owed[0].commitmentFailures, 1);
    // It goes again after the first pause (1 s), not the second (5 s), and
    // the node commits to it this time.
    ASSERT_TRUE(QTest::qWaitFor([&] { return outbox.count() == 0; }, 4000));
    EXPECT_GE(sinceReport.elapsed(), 900) << "sent again before its pause";
}

TEST_F(OutboxTest, OverTlsOnlyANodeThatProvesItselfGetsTheFilmAndTheOthersOweItWithTheReason)
{
    TestAuthority authority;
    const TestAuthority::Issued server = authority.issue("orthanc");
    const TestAuthority::Issued station = authority.issue("skiascan");
    OrthancServer orthanc("SKIASCAN", 0, OrthancTls{server.certificate, server.privateKey, authority.certificate()});
    TestAuthority stranger("Stranger Authority");
    const TestAuthority::Issued impostorKeys = stranger.issue("impostor");
    StoreScp impostor("IMPOSTOR", {"+tls", impostorKeys.privateKey, impostorKeys.certificate, "-ic"});
    StoreScp plain("PLAIN");
    const NodeOptions tls{{true, authority.certificate(), station.certificate, station.privateKey}};
    service.configure(configuredNodes(parseRemoteNodes({orthanc.setting(), impostor.setting(), plain.setting()}),
                                      {tls, tls, tls}),
                      "SKIASCAN", timeouts);
    keep("2.25.130", service.nodes());

    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            return owedTitles("2.25.130") == QStringList{"IMPOSTOR", "PLAIN"} && statusOf("IMPOSTOR").failing
                && statusOf("PLAIN").failing;
        },
        15000));
    // Orthanc, which asks for the station's certificate, has the film.
    const QJsonArray instances = QJsonDocument::fromJson(orthanc.get("/instances")).array();
    ASSERT_EQ(instances.size(), 1);
    EXPECT_EQ(QJsonDocument::fromJson(orthanc.get("/instances/" + instances[0].toString() + "/simplified-tags"))
                  .object()["SOPInstanceUID"]
                  .toString(),
              "2.25.130");
    // The others have nothing, not even in clear text, and the film says why it waits.
    EXPECT_TRUE(impostor.received().isEmpty());
    EXPECT_TRUE(plain.received().isEmpty());
    const OutboxEntry entry = outbox.entries().at(0);
    EXPECT_TRUE(entry.owed[0].lastFailure.contains("the node's certificate is not signed by an authority this station "
                                                   "trusts"))
        << entry.owed[0].lastFailure.toStdString();
    EXPECT_TRUE(statusOf("PLAIN").lastFailure.contains("the node does not speak TLS"))
        << statusOf("PLAIN").lastFailure.toStdString();
}

// A node reached over TLS reports over TLS: the station takes its reports
// with its own certificate, and only from a caller that proves itself.
TEST_F(OutboxTest, ANodeReachedOverTlsReportsItsCommitmentOverTls)
{
    TestAuthority authority;
    const TestAuthority::Issued server = authority.issue("orthanc");
    const TestAuthority::Issued station = authority.issue("skiascan");
    const int port = freePort();
    OrthancServer orthanc("SKIASCAN", port, OrthancTls{server.certificate, server.privateKey, authority.certificate()});
    NodeOptions options{{true, authority.certificate(), station.certificate, station.privateKey}, true};
    service.configure(configuredNodes(parseRemoteNodes({orthanc.setting(), "", ""}), {options, {}, {}}), "SKIASCAN",
                      timeouts, quint16(port));
    ASSERT_EQ(service.listening(), port);
    // A caller in clear text is not heard.
    EXPECT_EQ(sendCommitmentReport(port, "ORTHANC", "SKIASCAN", "2.25.9", {"2.25.140"}, {}), -1);
    keep("2.25.140", service.nodes());
    EXPECT_TRUE(QTest::qWaitFor([&] { return outbox.count() == 0; }, 20000)) << "Orthanc's report came over TLS";

    // With a node in clear text asked for commitment too, the port takes
    // clear text: the TLS node is told to be unheard.
    StoreScp plain("PLAIN");
    service.configure(configuredNodes(parseRemoteNodes({orthanc.setting(), plain.setting(), ""}),
                                      {options, NodeOptions{{}, true}, {}}),
                      "SKIASCAN", timeouts, quint16(port));
    EXPECT_EQ(statusOf("ORTHANC").reportsProblem,
              QString("it reports over TLS, and port %1 takes clear text for the other nodes asked for commitment")
                  .arg(port));
    EXPECT_EQ(statusOf("PLAIN").reportsProblem, "");
}
