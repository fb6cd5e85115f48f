#include "support/peers.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/dcmnet/dstorscp.h>
#include <dcmtk/dcmnet/scp.h>
#include <dcmtk/dcmnet/scu.h>

#include <QDir>
#include <QElapsedTimer>
#include <QThread>

#include <gtest/gtest.h>

#include <cstring>
#include <mutex>

#include <arpa/inet.h>
#include <poll.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace skiascan::test {

int freePort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0
        && ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    ::close(fd);
    return port;
}

bool waitForPort(int port, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < timeoutMs) {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<uint16_t>(port));
        const bool up = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        ::close(fd);
        if (up)
            return true;
        QThread::msleep(10);
    }
    return false;
}

namespace {

// Starts a DcmSCP of ours on a thread, for one SOP class, and waits until it
// listens. It checks `stop` once a second and ends when it is set.
std::thread listenOnThread(DcmSCP& server, int port, const QString& aeTitle, const char* sopClass,
                           const std::atomic<bool>& stop)
{
    // DCMTK fills the tables of its association state machine, without a lock,
    // when the process makes its first network object. Made here, on the test's
    // thread, before the peer's thread and the program's threads make theirs.
    static std::once_flag once;
    std::call_once(once, [] {
        T_ASC_Network* network = nullptr;
        if (ASC_initializeNetwork(NET_REQUESTOR, 0, 1, &network).good())
            ASC_dropNetwork(&network);
    });
    server.setPort(static_cast<Uint16>(port));
    server.setAETitle(aeTitle.toStdString().c_str());
    server.setConnectionBlockingMode(DUL_NOBLOCK);
    server.setConnectionTimeout(1);
    server.setHostLookupEnabled(OFFalse);
    OFList<OFString> syntaxes;
    syntaxes.push_back(UID_LittleEndianExplicitTransferSyntax);
    syntaxes.push_back(UID_LittleEndianImplicitTransferSyntax);
    // One context only: DCMTK 3.6.7 takes a second one for an invalid profile.
    const OFCondition added = server.addPresentationContext(sopClass, syntaxes);
    EXPECT_TRUE(added.good()) << added.text();
    std::thread thread([&server, &stop] {
        const OFCondition c = server.listen();
        if (c.bad() && !stop)
            fprintf(stderr, "test SCP stopped: %s\n", c.text());
    });
    EXPECT_TRUE(waitForPort(port)) << "test SCP did not listen";
    return thread;
}

} // namespace

// ------------------------------------------------------------------ storescp

StoreScp::StoreScp(const QString& aeTitle, const QStringList& options)
    : m_aeTitle(aeTitle)
    , m_options(options)
    , m_port(freePort())
{
    start();
}

StoreScp::~StoreScp()
{
    stop();
}

void StoreScp::start()
{
    if (m_process)
        return;
    QStringList args = m_options;
    args << QStringLiteral("-aet") << m_aeTitle << QStringLiteral("-od") << m_dir.path() << QString::number(m_port);
    m_process = std::make_unique<ChildProcess>(QStringLiteral("storescp"), args);
    ASSERT_TRUE(m_process->started()) << "storescp did not start";
    ASSERT_TRUE(waitForPort(m_port)) << "storescp did not listen on " << m_port;
}

void StoreScp::stop()
{
    m_process.reset();
}

QString StoreScp::setting() const
{
    return QStringLiteral("%1|127.0.0.1|%2").arg(m_aeTitle).arg(m_port);
}

namespace {

// storescp writes a file as it receives it: a file counts once DCMTK reads it
// whole, pixel data and all (a file cut short before its pixel data would
// read without them, and one cut short in them reads until they are loaded).
bool receivedWhole(const QString& path)
{
    DcmFileFormat file;
    if (file.loadFile(path.toStdString().c_str()).bad() || file.loadAllDataIntoMemory().bad())
        return false;
    DcmElement* pixels = nullptr;
    return file.getDataset()->findAndGetElement(DCM_PixelData, pixels).good() && pixels;
}

} // namespace

QStringList StoreScp::received() const
{
    QStringList files;
    for (const QString& name : QDir(m_dir.path()).entryList(QDir::Files, QDir::Name)) {
        const QString path = QDir(m_dir.path()).filePath(name);
        if (receivedWhole(path))
            files << path;
    }
    return files;
}

// ---------------------------------------------------------------- StatusScp

struct StatusScp::Server : DcmStorageSCP {
    Server(unsigned short status, const QString& aeTitle, std::atomic<int>& requests, std::atomic<bool>& stop)
        : m_status(status)
        , m_aeTitle(aeTitle.toStdString())
        , m_requests(requests)
        , m_stopFlag(stop)
    {
    }

    Uint16 checkAndProcessSTORERequest(const T_DIMSE_C_StoreRQ&, DcmFileFormat&) override
    {
        ++m_requests;
        return m_status;
    }
    OFBool checkCalledAETitleAccepted(const OFString& calledAE) override { return calledAE == m_aeTitle.c_str(); }
    OFBool stopAfterConnectionTimeout() override { return m_stopFlag.load(); }
    OFBool stopAfterCurrentAssociation() override { return m_stopFlag.load(); }

    Uint16 m_status;
    std::string m_aeTitle;
    std::atomic<int>& m_requests;
    std::atomic<bool>& m_stopFlag;
};

StatusScp::StatusScp(unsigned short status, const QString& aeTitle)
    : m_port(freePort())
    , m_aeTitle(aeTitle)
    , m_server(std::make_unique<Server>(status, aeTitle, m_requests, m_stop))
{
    m_thread = listenOnThread(*m_server, m_port, aeTitle, UID_SecondaryCaptureImageStorage, m_stop);
}

StatusScp::~StatusScp()
{
    m_stop = true;
    m_thread.join();
}

QString StatusScp::setting() const
{
    return QStringLiteral("%1|127.0.0.1|%2").arg(m_aeTitle).arg(m_port);
}

// ------------------------------------------------------------ FindStatusScp

struct FindStatusScp::Server : DcmSCP {
    Server(unsigned short status, int matches, std::atomic<bool>& stop)
        : m_status(status)
        , m_matches(matches)
        , m_stopFlag(stop)
    {
    }

    OFCondition handleIncomingCommand(T_DIMSE_Message* message, const DcmPresentationContextInfo& context) override
    {
        if (message->CommandField != DIMSE_C_FIND_RQ)
            return DcmSCP::handleIncomingCommand(message, context);
        T_DIMSE_C_FindRQ& request = message->msg.CFindRQ;
        DcmDataset* query = nullptr;
        OFCondition c = receiveFINDRequest(request, context.presentationContextID, query);
        delete query;
        if (c.bad())
            return c;
        for (int i = 0; i < m_matches; ++i) {
            DcmDataset answer;
            answer.putAndInsertString(DCM_PatientName, "Match^Some");
            sendFINDResponse(context.presentationContextID, request.MessageID, request.AffectedSOPClassUID, &answer,
                             STATUS_FIND_Pending_MatchesAreContinuing);
        }
        return sendFINDResponse(context.presentationContextID, request.MessageID, request.AffectedSOPClassUID, nullptr,
                                m_status);
    }
    OFBool stopAfterConnectionTimeout() override { return m_stopFlag.load(); }
    OFBool stopAfterCurrentAssociation() override { return m_stopFlag.load(); }

    Uint16 m_status;
    int m_matches;
    std::atomic<bool>& m_stopFlag;
};

FindStatusScp::FindStatusScp(unsigned short status, int matches, const QString& aeTitle)
    : m_port(freePort())
    , m_server(std::make_unique<Server>(status, matches, m_stop))
{
    m_thread = listenOnThread(*m_server, m_port, aeTitle, UID_FINDModalityWorklistInformationModel, m_stop);
}

FindStatusScp::~FindStatusScp()
{
    m_stop = true;
    m_thread.join();
}

// ---------------------------------------------------------------- SilentPeer

SilentPeer::SilentPeer(const QByteArray& reply)
    : m_reply(reply)
{
    m_listener = ::socket(AF_INET, SOCK_STREAM, 0);
    const int yes = 1;
    ::setsockopt(m_listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    EXPECT_EQ(::bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length);
    m_port = ntohs(address.sin_port);
    ::listen(m_listener, 16);
    m_thread = std::thread([this] {
        std::vector<int> open;
        while (!m_stop) {
            pollfd p{m_listener, POLLIN, 0};
            if (::poll(&p, 1, 50) > 0) {
                const int fd = ::accept(m_listener, nullptr, nullptr);
                if (fd >= 0) {
                    open.push_back(fd);
                    {
                        const std::lock_guard lock(m_mutex);
                        ++m_connections;
                    }
                    m_connected.notify_all();
                    if (!m_reply.isEmpty() && ::write(fd, m_reply.constData(), m_reply.size()) < 0)
                        ADD_FAILURE() << "the peer could not answer";
                }
            }
        }
        for (int fd : open)
            ::close(fd);
    });
}

SilentPeer::~SilentPeer()
{
    m_stop = true;
    m_thread.join();
    ::close(m_listener);
}

bool SilentPeer::waitForConnections(int count, int timeoutMs)
{
    std::unique_lock lock(m_mutex);
    return m_connected.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return m_connections >= count; });
}

namespace {

// A node reporting on storage commitment, which reads the whole answer, not
// only its status.
class Reporter : public DcmSCU {
public:
    int report(const QString& transactionUid, const QStringList& committed, const QStringList& failed)
    {
        DcmDataset report;
        report.putAndInsertString(DCM_TransactionUID, transactionUid.toStdString().c_str());
        const auto addItems = [&](const DcmTagKey& sequence, const QStringList& uids) {
            for (const QString& uid : uids) {
                DcmItem* item = nullptr;
                report.findOrCreateSequenceItem(sequence, item, -2);
                item->putAndInsertString(DCM_ReferencedSOPClassUID, UID_SecondaryCaptureImageStorage);
                item->putAndInsertString(DCM_ReferencedSOPInstanceUID, uid.toStdString().c_str());
                if (sequence == DCM_FailedSOPSequence)
                    item->putAndInsertUint16(DCM_FailureReason, 0x0110);
            }
        };
        addItems(DCM_ReferencedSOPSequence, committed);
        addItems(DCM_FailedSOPSequence, failed);
        T_ASC_PresentationContextID context
            = findAnyPresentationContextID(UID_StorageCommitmentPushModelSOPClass, UID_LittleEndianExplicitTransferSyntax);
        T_DIMSE_Message request;
        std::memset(&request, 0, sizeof request);
        request.CommandField = DIMSE_N_EVENT_REPORT_RQ;
        T_DIMSE_N_EventReportRQ& rq = request.msg.NEventReportRQ;
        rq.MessageID = 1; // the only request on the association
        rq.DataSetType = DIMSE_DATASET_PRESENT;
        rq.EventTypeID = failed.isEmpty() ? 1 : 2;
        OFStandard::strlcpy(rq.AffectedSOPClassUID, UID_StorageCommitmentPushModelSOPClass, sizeof rq.AffectedSOPClassUID);
        OFStandard::strlcpy(rq.AffectedSOPInstanceUID, UID_StorageCommitmentPushModelSOPInstance,
                            sizeof rq.AffectedSOPInstanceUID);
        if (sendDIMSEMessage(context, &request, &report).bad())
            return -1;
        T_DIMSE_Message response;
        std::memset(&response, 0, sizeof response);
        DcmDataset* detail = nullptr;
        const OFCondition c = receiveDIMSECommand(&context, &response, &detail);
        delete detail;
        if (c.bad() || response.CommandField != DIMSE_N_EVENT_REPORT_RSP)
            return -1;
        const T_DIMSE_N_EventReportRSP& rsp = response.msg.NEventReportRSP;
        const bool named = (rsp.opts & O_NEVENTREPORT_AFFECTEDSOPCLASSUID) && (rsp.opts & O_NEVENTREPORT_AFFECTEDSOPINSTANCEUID)
            && (rsp.opts & O_NEVENTREPORT_EVENTTYPEID)
            && std::strcmp(rsp.AffectedSOPClassUID, rq.AffectedSOPClassUID) == 0
            && std::strcmp(rsp.AffectedSOPInstanceUID, rq.AffectedSOPInstanceUID) == 0 && rsp.EventTypeID == rq.EventTypeID
            && rsp.MessageIDBeingRespondedTo == rq.MessageID;
        return named ? rsp.DimseStatus : -2;
    }
};

} // namespace

int sendCommitmentReport(int port, const QString& callingAETitle, const QString& calledAETitle,
                         const QString& transactionUid, const QStringList& committed, const QStringList& failed)
{
    Reporter scu;
    scu.setAETitle(callingAETitle.toStdString().c_str());
    scu.setPeerAETitle(calledAETitle.toStdString().c_str());
    scu.setPeerHostName("127.0.0.1");
    scu.setPeerPort(static_cast<Uint16>(port));
    scu.setACSETimeout(5);
    scu.setDIMSETimeout(5);
    scu.setDIMSEBlockingMode(DIMSE_NONBLOCKING);
    OFList<OFString> syntaxes;
    syntaxes.push_back(UID_LittleEndianExplicitTransferSyntax);
    scu.addPresentationContext(UID_StorageCommitmentPushModelSOPClass, syntaxes);
    if (scu.initNetwork().bad() || scu.negotiateAssociation().bad())
        return -1;
    const int status = scu.report(transactionUid, committed, failed);
    scu.releaseAssociation();
    return status;
}

UnansweredHost::UnansweredHost()
{
    m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(m_listener, 0);
    ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length);
    m_port = ntohs(address.sin_port);
    // Connections nobody accepts fill the queue; the kernel then drops the
    // requests that follow, without an answer.
    for (int i = 0; i < 3; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        m_queued.push_back(fd);
        pollfd handshake{fd, POLLOUT, 0};
        ::poll(&handshake, 1, 100); // done at once while the queue has room
    }
}

UnansweredHost::~UnansweredHost()
{
    for (const int fd : m_queued)
        ::close(fd);
    ::close(m_listener);
}

QString UnansweredHost::setting(const QString& aeTitle) const
{
    return QStringLiteral("%1|127.0.0.1|%2").arg(aeTitle).arg(m_port);
}

QString SilentPeer::setting(const QString& aeTitle) const
{
    return QStringLiteral("%1|127.0.0.1|%2").arg(aeTitle).arg(m_port);
}

} // namespace skiascan::test
