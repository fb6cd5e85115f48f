#include "common/failure.h"
#include "dicom/commitment.h"
#include "dicom/dicom_toolkit.h"
#include "dicom/image_attributes.h"
#include "support/certificates.h"
#include "support/child_process.h"
#include "support/conditions.h"
#include "support/dicom_file.h"
#include "support/peers.h"
#include "support/qt_printers.h"
#include "support/throttling_proxy.h"
#include "support/tiff_writer.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <thread>

using namespace skiascan;
using namespace skiascan::test;
using dicom::Image;

namespace {

class SendingTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        writeFilmTiff(dir.filePath("scan.tif"));
        image.importFile(dir.filePath("scan.tif"), "TIF");
        const dicom::StudyRecord r{"Smith", "John", "", "4711", "19600201", "M", "20261207", "", "", "", "CHEST", "1500", "3000"};
        dicom::setImageProperties(image, r);
        dicom::addImageAttributes(image, r, {"2.25.1", "10:00:00", "2.25.2", "2.25.3", 1, {}}, QDate(2026, 12, 7),
                           [] { return QTime(10, 0, 1); });
    }

    // The description of the failure of sending to 127.0.0.1:port, and its kind.
    std::pair<QString, Failure::Kind> sendFailure(int port, const QString& aet = "STORE",
                                                  const dicom::NetworkTimeouts& timeouts = kShortTimeouts)
    {
        try {
            image.send("127.0.0.1", port, aet, "SKIASCAN", timeouts);
        } catch (const Failure& e) {
            return {e.description(), e.kind()};
        }
        return {"(delivered)", Failure::Kind::General};
    }

    QTemporaryDir dir;
    Image image;
};

} // namespace

TEST_F(SendingTest, StorescpReceivesTheImageAsBuilt)
{
    StoreScp pacs;
    image.send("127.0.0.1", pacs.port(), pacs.aeTitle(), "SKIASCAN", kShortTimeouts);
    ASSERT_EQ(pacs.received().size(), 1);
    DicomFile stored(pacs.received().first());
    EXPECT_EQ(stored.text(DCM_PatientName), "Smith^John");
    EXPECT_EQ(stored.text(DCM_SOPInstanceUID), "2.25.3");
    EXPECT_EQ(stored.pixels().size(), 128u * 96u);
    EXPECT_EQ(stored.pixels()[130], (2u * 37u + 1u * 11u) % 4096u);

    // A second send of the same object works too (the data set is unchanged).
    image.send("127.0.0.1", pacs.port(), pacs.aeTitle(), "SKIASCAN", kShortTimeouts);
}

TEST_F(SendingTest, AnImageBehindASlowLinkArrivesIntactAtTheLinksPace)
{
    // 300 KB of pixels through a link of 100 KB a second take about three seconds.
    writeFilmTiff(dir.filePath("large.tif"), 400, 384);
    image.importFile(dir.filePath("large.tif"), "TIF");
    StoreScp pacs;
    ThrottlingProxy link(pacs.port(), 100 * 1024);
    QElapsedTimer clock;
    clock.start();
    image.send("127.0.0.1", link.port(), pacs.aeTitle(), "SKIASCAN", kShortTimeouts);
    EXPECT_GE(clock.elapsed(), 2000);
    EXPECT_GE(link.bytesForwarded(), 400 * 384 * 2);
    EXPECT_EQ(link.connections(), 1);
    ASSERT_EQ(pacs.received().size(), 1);
    std::vector<Uint16> expected;
    for (uint32_t y = 0; y < 384; ++y)
        for (uint32_t x = 0; x < 400; ++x)
            expected.push_back(static_cast<Uint16>((x * 37u + y * 11u) % 4096u));
    EXPECT_TRUE(DicomFile(pacs.received().first()).pixels() == expected);
}

TEST_F(SendingTest, VerifyAnswersWithEchoOrTheReason)
{
    StoreScp pacs;
    EXPECT_NO_THROW(dicom::verify("127.0.0.1", pacs.port(), "STORE", "SKIASCAN", kShortTimeouts));
    const int down = freePort();
    try {
        dicom::verify("127.0.0.1", down, "PACS1", "SKIASCAN", kShortTimeouts);
        ADD_FAILURE() << "verification of a node that is down succeeded";
    } catch (const Failure& e) {
        EXPECT_EQ(e.description(),
                  QString("PACS1 (127.0.0.1:%1) cannot be reached: nothing listens on port %1 there.").arg(down));
        EXPECT_TRUE(e.detail().contains("Connection refused")) << e.detail().toStdString();
    }
}

TEST_F(SendingTest, NodeDownIsUnreachable)
{
    const auto [why, kind] = sendFailure(freePort());
    EXPECT_EQ(kind, Failure::Kind::Unreachable) << why.toStdString();
    EXPECT_TRUE(why.contains("cannot be reached")) << why.toStdString();
}

TEST_F(SendingTest, RefusedAssociationsSayWhy)
{
    StoreScp refusing("STORE", {"--refuse"});
    const auto [why, kind] = sendFailure(refusing.port());
    EXPECT_EQ(kind, Failure::Kind::Rejected) << why.toStdString();
    EXPECT_TRUE(why.startsWith(QString("STORE (127.0.0.1:%1) refuses the association").arg(refusing.port())))
        << why.toStdString();

    StatusScp strict(0x0000, "PACS1");
    const auto [wrongAe, wrongKind] = sendFailure(strict.port(), "PACS2");
    EXPECT_EQ(wrongKind, Failure::Kind::Rejected);
    EXPECT_TRUE(wrongAe.endsWith("called AE title not recognised.")) << wrongAe.toStdString();
}

TEST_F(SendingTest, AbortAndSilenceAreFailuresNotSuccess)
{
    StoreScp aborting("STORE", {"--abort-during"});
    const auto [abortWhy, abortKind] = sendFailure(aborting.port());
    EXPECT_EQ(abortKind, Failure::Kind::Unreachable) << abortWhy.toStdString();

    StoreScp sleepy("STORE", {"--sleep-during", "4"});
    QElapsedTimer clock;
    clock.start();
    const auto [silentWhy, silentKind] = sendFailure(sleepy.port(), "STORE", {.acseSeconds = 5, .dimseSeconds = 1});
    EXPECT_LT(clock.elapsed(), 3500);
    EXPECT_NE(silentKind, Failure::Kind::Status);
    EXPECT_TRUE(silentWhy.endsWith("no byte moved for 1 s")) << silentWhy.toStdString();
}

TEST_F(SendingTest, EachSendKeepsItsOwnTimeoutsWhileAnotherRuns)
{
    // Two sends at once to nodes that take seconds to answer (a second for
    // each piece they receive): the send that allows one second without a
    // byte moving gives up, the one that allows ten gets its confirmation.
    StoreScp slowOne("STORE", {"--sleep-during", "1"});
    StoreScp slowTwo("STORE", {"--sleep-during", "1"});
    Image impatient = image.sharedCopy();
    Image patient = image.sharedCopy();
    QString impatientWhy = "(delivered)";
    std::thread other([&] {
        try {
            impatient.send("127.0.0.1", slowOne.port(), "STORE", "SKIASCAN", {.acseSeconds = 5, .dimseSeconds = 1});
        } catch (const Failure& e) {
            impatientWhy = e.description();
        }
    });
    EXPECT_NO_THROW(
        patient.send("127.0.0.1", slowTwo.port(), "STORE", "SKIASCAN", {.acseSeconds = 5, .dimseSeconds = 10}));
    other.join();
    EXPECT_TRUE(impatientWhy.endsWith("no byte moved for 1 s")) << impatientWhy.toStdString();
    EXPECT_EQ(slowTwo.received().size(), 1);
}

TEST_F(SendingTest, CancelEndsTheNegotiationWithAPeerThatNeverAnswers)
{
    // The peer takes the connection and says nothing: Cancel ends the wait for
    // its answer to the association request at once, long before its timeout.
    SilentPeer silent;
    dicom::NetworkGuard guard(std::chrono::seconds(60));
    std::thread canceller([&] {
        silent.waitForConnections(1, 10000);
        guard.cancel();
    });
    QElapsedTimer clock;
    clock.start();
    try {
        dicom::verify("127.0.0.1", silent.port(), "SILENT", "SKIASCAN", {.acseSeconds = 30, .dimseSeconds = 30}, &guard);
        ADD_FAILURE() << "a peer that never answered was verified";
    } catch (const Failure& e) {
        EXPECT_EQ(e.kind(), Failure::Kind::Cancelled) << e.description().toStdString();
        EXPECT_TRUE(e.description().endsWith("stopped: cancelled by the operator")) << e.description().toStdString();
    }
    canceller.join();
    EXPECT_LT(clock.elapsed(), 5000);
}

TEST_F(SendingTest, FailureStatusesFailAndWarningsDeliver)
{
    const struct {
        unsigned short status;
        const char* meaning;
    } failures[] = {{0xA700, "out of resources"}, {0xA900, "does not match"}, {0xC000, "cannot understand"}, {0x0122, "not supported"}};
    for (const auto& f : failures) {
        StatusScp peer(f.status);
        try {
            image.send("127.0.0.1", peer.port(), "STATUS", "SKIASCAN", kShortTimeouts);
            ADD_FAILURE() << "status " << f.status << " counted as delivered";
        } catch (const Failure& e) {
            EXPECT_EQ(e.kind(), Failure::Kind::Status);
            EXPECT_TRUE(e.description().contains(f.meaning)) << e.description().toStdString();
        }
    }
    for (unsigned short warning : {0xB000, 0xB006, 0xB007}) {
        StatusScp peer(warning);
        EXPECT_NO_THROW(image.send("127.0.0.1", peer.port(), "STATUS", "SKIASCAN", kShortTimeouts)) << warning;
        EXPECT_EQ(peer.storeRequests(), 1);
    }
}

TEST_F(SendingTest, BadAeTitlesAndPortsAreCaughtBeforeConnecting)
{
    EXPECT_THROW(image.send("127.0.0.1", 104, "A_VERY_LONG_AE_TITLE", "SKIASCAN"), Failure);
    EXPECT_THROW(image.send("127.0.0.1", 104, "PACS", ""), Failure);
    EXPECT_THROW(image.send("127.0.0.1", 0, "PACS", "SKIASCAN"), Failure);
    EXPECT_THROW(image.send("", 104, "PACS", "SKIASCAN"), Failure);
}

TEST_F(SendingTest, OverTlsOnlyANodeWhoseCertificateVerifiesGetsTheImage)
{
    TestAuthority authority;
    const TestAuthority::Issued node = authority.issue("node");
    StoreScp secure("SECURE", {"+tls", node.privateKey, node.certificate, "-ic"});
    const TlsSettings trusting{true, authority.certificate(), {}, {}};
    const auto failure = [&](int port, const QString& aet, const TlsSettings& tls) -> std::pair<QString, Failure::Kind> {
        try {
            dicom::verify("127.0.0.1", port, aet, "SKIASCAN", kShortTimeouts, nullptr, tls);
        } catch (const Failure& e) {
            return {e.description(), e.kind()};
        }
        return {"(verified)", Failure::Kind::General};
    };

    EXPECT_TRUE(dicom::verify("127.0.0.1", secure.port(), "SECURE", "SKIASCAN", kShortTimeouts, nullptr, trusting)
                    .protocol.startsWith("TLS 1."));
    dicom::NetworkGuard guard;
    dicom::StoreAssociation association("127.0.0.1", secure.port(), "SECURE", "SKIASCAN", kShortTimeouts, guard,
                                        trusting);
    association.store(image);
    association.release();
    ASSERT_EQ(secure.received().size(), 1);
    EXPECT_EQ(DicomFile(secure.received().first()).text(DCM_SOPInstanceUID), "2.25.3");

    // Signed by an authority the station does not trust.
    TestAuthority stranger("Stranger Authority");
    const auto [untrusted, untrustedKind] = failure(secure.port(), "SECURE", {true, stranger.certificate(), {}, {}});
    EXPECT_EQ(untrustedKind, Failure::Kind::Unreachable);
    EXPECT_TRUE(untrusted.startsWith(QString("Cannot open a TLS connection to SECURE (127.0.0.1:%1): "
                                             "the node's certificate is not signed by an authority this station trusts")
                                         .arg(secure.port())))
        << untrusted.toStdString();

    // A certificate that has expired: valid for no time at all from its making.
    const TestAuthority::Issued lapsed = authority.issue("lapsed", 0);
    const QDateTime madeAt = QDateTime::currentDateTimeUtc();
    StoreScp expired("EXPIRED", {"+tls", lapsed.privateKey, lapsed.certificate, "-ic"});
    ASSERT_TRUE(QTest::qWaitFor([&] { return QDateTime::currentDateTimeUtc() > madeAt.addSecs(1); }, 3000));
    const auto [outdated, outdatedKind] = failure(expired.port(), "EXPIRED", trusting);
    EXPECT_TRUE(outdated.endsWith("the node's certificate expired on " + madeAt.date().toString(Qt::ISODate) + "."))
        << outdated.toStdString();

    // A node in clear text is not spoken to in clear text.
    StoreScp plain("PLAIN");
    const auto [clear, clearKind] = failure(plain.port(), "PLAIN", trusting);
    EXPECT_EQ(clearKind, Failure::Kind::Unreachable);
    EXPECT_TRUE(clear.contains("the node does not speak TLS")) << clear.toStdString();

    // Without trusted authorities nothing is tried.
    const auto [unset, unsetKind] = failure(secure.port(), "SECURE", {true, {}, {}, {}});
    EXPECT_EQ(unsetKind, Failure::Kind::Argument);
    EXPECT_TRUE(unset.contains("no file of trusted authorities")) << unset.toStdString();
    EXPECT_EQ(secure.received().size(), 1);
}

// TLS 1.2 or newer, both ways: a node that offers only TLS 1.1 is refused for
// its protocol version, and so is such a caller of the station's report
// listener. The openssl peers, and this process, are allowed the old versions,
// so that only the station's own TLS profile stands in their way.
TEST_F(SendingTest, TlsOlderThanTwelveIsRefusedForItsProtocolVersionBothWays)
{
    QTemporaryDir config;
    QFile permissive(config.filePath("openssl.cnf"));
    ASSERT_TRUE(permissive.open(QIODevice::WriteOnly));
    permissive.write("openssl_conf = conf\n[conf]\nssl_conf = ssl\n[ssl]\nsystem_default = old\n"
                     "[old]\nMinProtocol = TLSv1\nCipherString = DEFAULT@SECLEVEL=0\n");
    permissive.close();
    qputenv("OPENSSL_CONF", permissive.fileName().toLocal8Bit());
    TestAuthority authority;
    const TestAuthority::Issued node = authority.issue("old-node");
    const TestAuthority::Issued station = authority.issue("skiascan");
    const TlsSettings tls{true, authority.certificate(), station.certificate, station.privateKey};

    const int nodePort = freePort();
    ChildProcess server("openssl",
                        {"s_server", "-www", "-accept", QString::number(nodePort), "-tls1_1", "-cert",
                         node.certificate, "-key", node.privateKey},
                        ChildProcess::Stream::Pipe, ChildProcess::Stream::Discard);
    QByteArray line;
    for (int lines = 0; lines < 5 && line != "ACCEPT"; ++lines)
        line = server.readLine(10000);
    ASSERT_EQ(line, "ACCEPT") << "openssl s_server did not start";
    try {
        dicom::verify("127.0.0.1", nodePort, "OLDNODE", "SKIASCAN", kShortTimeouts, nullptr, tls);
        ADD_FAILURE() << "a node that speaks TLS 1.1 only was verified";
    } catch (const Failure& e) {
        EXPECT_TRUE(e.description().contains("protocol version")) << e.description().toStdString();
    }

    const int stationPort = freePort();
    dicom::CommitmentListener listener(
        quint16(stationPort), "SKIASCAN", kShortTimeouts, {}, [](const QString&, const QString&) { return true; },
        [](const dicom::CommitmentReport&) {}, tls);
    ChildProcess caller("openssl",
                        {"s_client", "-connect", QString("127.0.0.1:%1").arg(stationPort), "-tls1_1", "-CAfile",
                         authority.certificate(), "-cert", node.certificate, "-key", node.privateKey},
                        ChildProcess::Stream::Discard, ChildProcess::Stream::Pipe);
    EXPECT_NE(caller.waitForExit(10000), 0) << "a TLS 1.1 caller was taken";
    EXPECT_TRUE(caller.standardError().contains("protocol version")) << caller.standardError().toStdString();
}
