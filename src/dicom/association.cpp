// Associations with DICOM peers: connect (in clear text or over TLS) and
// negotiate, release or abort, and descriptions of every way that can fail.

#include "dicom/dcmtk_internal.h"

#include <dcmtk/dcmnet/diutil.h>
#include <dcmtk/dcmnet/dul.h>

#include <mutex>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace skiascan::dicom {

namespace {

QString rejectReason(const T_ASC_RejectParameters& rejection)
{
    switch (rejection.reason) {
    case ASC_REASON_SU_CALLEDAETITLENOTRECOGNIZED:
        return QStringLiteral("called AE title not recognised");
    case ASC_REASON_SU_CALLINGAETITLENOTRECOGNIZED:
        return QStringLiteral("calling AE title (this station's) not recognised");
    case ASC_REASON_SU_APPCONTEXTNAMENOTSUPPORTED:
        return QStringLiteral("application context not supported");
    case ASC_REASON_SP_ACSE_PROTOCOLVERSIONNOTSUPPORTED:
        return QStringLiteral("protocol version not supported");
    case ASC_REASON_SP_PRES_TEMPORARYCONGESTION:
        return QStringLiteral("temporary congestion, try again later");
    case ASC_REASON_SP_PRES_LOCALLIMITEXCEEDED:
        return QStringLiteral("too many associations at the peer, try again later");
    case ASC_REASON_SU_NOREASON:
    case ASC_REASON_SP_ACSE_NOREASON:
    default:
        return QStringLiteral("no reason given");
    }
}

// The innermost reason in a chain of DCMTK conditions, which is the one that
// says what happened ("Connection refused" rather than "Failed to establish
// association").
QString innermostReason(const OFCondition& condition, int acseSeconds)
{
    OFString chain;
    DimseCondition::dump(chain, condition);
    QString last;
    for (const QString& line : QString::fromLocal8Bit(chain.c_str()).split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        // Each line reads "mmmm:cccc Text".
        const qsizetype space = line.indexOf(QLatin1Char(' '));
        last = (space > 0 ? line.mid(space + 1) : line).trimmed();
    }
    if (last.isEmpty())
        last = conditionText(condition);
    // DCMTK's words for the usual ways a peer fails, put as an operator would.
    if (last.contains(QLatin1String("Connection refused"), Qt::CaseInsensitive))
        return QStringLiteral("connection refused (nothing listens on that port)");
    if (last.contains(QLatin1String("network read timeout"), Qt::CaseInsensitive))
        return QStringLiteral("no answer within %1 seconds").arg(acseSeconds);
    if (last.contains(QLatin1String("Unrecognized PDU type"), Qt::CaseInsensitive))
        return QStringLiteral("it does not answer in DICOM (%1)").arg(last);
    if (last.contains(QLatin1String("network closed"), Qt::CaseInsensitive)
        || last.contains(QLatin1String("Peer aborted"), Qt::CaseInsensitive)
        || last.contains(QLatin1String("reset by peer"), Qt::CaseInsensitive))
        return QStringLiteral("the peer closed the connection");
    return last;
}

void checkAETitle(const QString& title, const QString& role)
{
    if (title.trimmed().isEmpty())
        throw Failure(QStringLiteral("The %1 AE title is empty.").arg(role));
    if (title.size() > 16)
        throw Failure(QStringLiteral("The %1 AE title \"%2\" is longer than 16 characters.").arg(role, title));
    for (QChar c : title)
        if (c.unicode() < 0x20 || c.unicode() > 0x7E || c == QLatin1Char('\\'))
            throw Failure(QStringLiteral("The %1 AE title \"%2\" holds a character that AE titles cannot hold.").arg(role, title));
}

} // namespace

namespace {

QString statusMeaning(Uint16 status)
{
    switch (status) {
    case 0x0122:
        return QStringLiteral("SOP class not supported");
    case 0x0124:
        return QStringLiteral("not authorised");
    case 0x0117:
        return QStringLiteral("invalid SOP class");
    case 0x0210:
        return QStringLiteral("duplicate invocation");
    case 0x0211:
        return QStringLiteral("unrecognised operation");
    case 0x0212:
        return QStringLiteral("mistyped argument");
    case 0xFE00:
        return QStringLiteral("cancelled");
    default:
        break;
    }
    switch (status & 0xFF00) {
    case 0xA700:
        return QStringLiteral("out of resources");
    case 0xA900:
        return QStringLiteral("data set does not match the SOP class");
    default:
        break;
    }
    if ((status & 0xF000) == 0xC000)
        return QStringLiteral("cannot understand or process the request");
    return QStringLiteral("failure");
}

} // namespace

// DCMTK fills the tables of its association state machine when the process
// makes its first network object, without a lock: threads opening their first
// associations at the same time (a film sent to two nodes at once) would all
// write them. A network object made and dropped once, first, fills them.
void prepareNetworking()
{
    static std::once_flag once;
    std::call_once(once, [] {
        T_ASC_Network* network = nullptr;
        if (ASC_initializeNetwork(NET_REQUESTOR, 0, 1, &network).good())
            ASC_dropNetwork(&network);
    });
}

void keepFromChildProcesses(int socket)
{
    const int flags = ::fcntl(socket, F_GETFD);
    if (flags >= 0)
        ::fcntl(socket, F_SETFD, flags | FD_CLOEXEC);
}

QString statusText(Uint16 status, DcmDataset* detail)
{
    QString text = QStringLiteral("status 0x%1 (%2)").arg(status, 4, 16, QLatin1Char('0')).arg(statusMeaning(status));
    OFString comment;
    if (detail && detail->findAndGetOFString(DCM_ErrorComment, comment).good() && !comment.empty())
        text += QStringLiteral(": ") + QString::fromLatin1(comment.c_str()).trimmed();
    return text;
}

namespace {

// What an operation is, for the operator: "sending an image to", not "C-STORE".
QString plainOperation(const QString& what)
{
    if (what == QLatin1String("C-STORE"))
        return QStringLiteral("Sending an image to");
    if (what == QLatin1String("C-FIND"))
        return QStringLiteral("The worklist query to");
    if (what == QLatin1String("C-ECHO"))
        return QStringLiteral("The verification of");
    if (what == QLatin1String("N-ACTION"))
        return QStringLiteral("The storage commitment request to");
    return QStringLiteral("Talking to");
}

} // namespace

// Takes the association's connection from its transport: puts the connection
// made by connectGuarded() in place of DCMTK's own to the loopback door, gives
// it the association's read and write timeouts (DCMTK would give every socket
// the same process-wide ones) and hands it to the guard.
class Association::Catcher : public SocketCatcher {
public:
    Catcher(int socketSeconds, NetworkGuard& guard, TransportWatch& watch)
        : m_socketSeconds(socketSeconds)
        , m_guard(guard)
        , m_watch(watch)
    {
    }
    ~Catcher() override
    {
        if (m_connected >= 0)
            ::close(m_connected);
    }

    void hold(int socket) { m_connected = socket; }

    void caught(int socket) override
    {
        if (m_connected >= 0) {
            ::dup3(m_connected, socket, O_CLOEXEC); // no child process started meanwhile inherits it
            ::close(m_connected);
            m_connected = -1;
        }
        keepFromChildProcesses(socket);
        // A read or write that blocks (a peer that has stopped reading, a
        // connection that has gone dead) ends after this long, unless the
        // guard watches the connection's progress instead.
        if (m_socketSeconds > 0) {
            const timeval limit{m_socketSeconds, 0};
            ::setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
            ::setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        }
        m_guard.attach(socket);
        m_watch.connected = true;
    }

private:
    int m_connected = -1; // made here, not yet in DCMTK's hands
    int m_socketSeconds;
    NetworkGuard& m_guard;
    TransportWatch& m_watch;
};

Association::Association(const QString& host, qint32 port, const QString& calledAETitle,
                         const QString& callingAETitle, const std::vector<Context>& contexts,
                         const QString& operation, const NetworkTimeouts& timeouts, NetworkGuard& guard,
                         const TlsSettings& tls, bool watchedByGuard)
    : m_peer(nodeName(calledAETitle, host, port))
    , m_timeouts(timeouts)
    , m_guard(guard)
    , m_watched(watchedByGuard)
{
    ensureToolkitReady();
    prepareNetworking();
    checkAETitle(calledAETitle, QStringLiteral("called"));
    checkAETitle(callingAETitle, QStringLiteral("calling (Local AET)"));
    if (host.trimmed().isEmpty())
        throw Failure(QStringLiteral("No address is set for %1.").arg(m_peer));
    if (port < 1 || port > 65535)
        throw Failure(QStringLiteral("The port of %1 is not a port number from 1 to 65535.").arg(m_peer));
    m_catcher = std::make_unique<Catcher>(watchedByGuard ? 0 : timeouts.dimseSeconds, guard, m_watch);
    m_transport = makeTransport(NET_REQUESTOR, tls, m_peer, *m_catcher, &m_watch);
    // The connection is made here, under the guard (see connector.cpp).
    m_catcher->hold(connectGuarded(host, port, guard, m_peer, plainOperation(operation)));
    const LoopbackDoor door;

    // The ACSE timeout belongs to the network object, which is this association's alone.
    OFCondition c = ASC_initializeNetwork(NET_REQUESTOR, 0, timeouts.acseSeconds, &m_net);
    if (c.bad())
        throw Failure(QStringLiteral("Cannot start networking for %1.").arg(m_peer), Failure::Kind::General,
                      innermostReason(c, timeouts.acseSeconds));
    ASC_setTransportLayer(m_net, m_transport.get(), 0);

    T_ASC_Parameters* params = nullptr;
    c = ASC_createAssociationParameters(&params, ASC_MAXIMUMPDUSIZE);
    if (c.bad()) {
        ASC_dropNetwork(&m_net);
        throw Failure(QStringLiteral("Cannot prepare the association with %1.").arg(m_peer), Failure::Kind::General,
                      innermostReason(c, timeouts.acseSeconds));
    }
    const QByteArray calling = callingAETitle.toLatin1();
    const QByteArray called = calledAETitle.toLatin1();
    ASC_setAPTitles(params, calling.constData(), called.constData(), nullptr);
    ASC_setPresentationAddresses(params, "localhost", door.address().constData());
    if (tls.enabled)
        ASC_setTransportLayerType(params, OFTrue);
    T_ASC_PresentationContextID id = 1;
    for (const Context& context : contexts) {
        std::vector<const char*> syntaxes = context.transferSyntaxes;
        ASC_addPresentationContext(params, id, context.abstractSyntax, syntaxes.data(),
                                   static_cast<int>(syntaxes.size()));
        id += 2;
    }

    // The association request, a TLS handshake included, has the ACSE timeout
    // as a whole: a node that takes the connection and then says nothing does
    // not answer, whatever the layer it is silent in.
    const QString silent = QStringLiteral("no answer to the association request within %1 s").arg(timeouts.acseSeconds);
    guard.limit(std::chrono::seconds(timeouts.acseSeconds), silent, Failure::Kind::Unreachable);
    c = ASC_requestAssociation(m_net, params, &m_assoc);
    guard.unlimit();
    if (c.bad()) {
        // DCMTK may have closed the connection already: the guard lets go of it first.
        m_guard.detach();
        const QString reason = innermostReason(c, timeouts.acseSeconds);
        const QString detail = QStringLiteral("%1 association request: %2").arg(operation, reason);
        QString description;
        Failure::Kind kind = Failure::Kind::Unreachable;
        if (m_guard.fired()) {
            // The guard cut the negotiation: say why, not how the cut looked.
            description = m_guard.reason() == silent
                ? QStringLiteral("%1 does not answer: %2.").arg(m_peer, silent)
                : QStringLiteral("%1 %2 stopped: %3").arg(plainOperation(operation), m_peer, m_guard.reason());
            kind = m_guard.kind();
        } else if (c == DUL_ASSOCIATIONREJECTED) {
            T_ASC_RejectParameters rejection;
            ASC_getRejectParameters(params, &rejection);
            description = QStringLiteral("%1 refuses the association: %2.").arg(m_peer, rejectReason(rejection));
            kind = Failure::Kind::Rejected;
        } else if (m_watch.tls && (m_watch.protocol.isEmpty() || !m_watch.refusal.isEmpty())) {
            // The TLS handshake failed, or the peer refused this station's
            // certificate right after it: nothing went to it in clear text.
            const QString why = !m_watch.refusal.isEmpty()
                ? m_watch.refusal
                : QStringLiteral("the node does not speak TLS (%1)").arg(reason);
            description = QStringLiteral("Cannot open a TLS connection to %1: %2.").arg(m_peer, why);
        } else if (m_watch.tls && reason == QLatin1String("the peer closed the connection")) {
            // Over TLS 1.3 a node checks the station's certificate after the
            // handshake; the alert by which it refuses it can be lost when it
            // drops the connection at once.
            description = QStringLiteral("%1 closed the connection over %2 without an answer; it may not accept this "
                                         "station's certificate%3.")
                              .arg(m_peer, m_watch.protocol,
                                   tls.certificate.isEmpty() ? QStringLiteral(" (the station shows none)") : QString());
        } else if (reason.startsWith(QLatin1String("no answer within"))) {
            description = QStringLiteral("%1 does not answer: %2.").arg(m_peer, silent);
        } else if (reason.startsWith(QLatin1String("it does not answer in DICOM"))) {
            description = QStringLiteral("%1 does not answer in DICOM: something else listens on that port.").arg(m_peer);
        } else if (reason == QLatin1String("the peer closed the connection")) {
            description = QStringLiteral("%1 closed the connection without answering the association request.").arg(m_peer);
        } else {
            description = QStringLiteral("%1: the association request failed (%2).").arg(m_peer, reason);
        }
        if (m_assoc)
            ASC_destroyAssociation(&m_assoc); // frees the parameters too
        else
            ASC_destroyAssociationParameters(&params);
        ASC_dropNetwork(&m_net);
        throw Failure(description, kind, detail);
    }
    if (ASC_countAcceptedPresentationContexts(m_assoc->params) == 0) {
        m_broken = true;
        const QString description = QStringLiteral("%1 accepted the association but none of what it is for (%2).")
                                        .arg(m_peer, operation);
        close();
        throw Failure(description, Failure::Kind::Rejected);
    }
    if (m_watched)
        m_guard.watchProgress(std::chrono::seconds(timeouts.dimseSeconds));
}

Association::~Association()
{
    close();
}

void Association::close()
{
    m_guard.detach();
    if (m_assoc) {
        // After a network failure the peer is in no state for a polite goodbye:
        // an abort would wait for it to close the connection, so just close it.
        if (m_broken || ASC_releaseAssociation(m_assoc).bad())
            ASC_dropAssociation(m_assoc);
        ASC_destroyAssociation(&m_assoc);
        m_assoc = nullptr;
    }
    if (m_net)
        ASC_dropNetwork(&m_net);
    m_net = nullptr;
}

void Association::release()
{
    if (!m_assoc)
        return;
    // The guard bounds the wait for the peer's answer, then lets go of the
    // connection before it closes.
    const bool released = ASC_releaseAssociation(m_assoc).good();
    m_guard.detach();
    if (!released)
        ASC_dropAssociation(m_assoc);
    ASC_destroyAssociation(&m_assoc);
    m_assoc = nullptr;
}


void Association::fail(const OFCondition& condition, const QString& what)
{
    m_broken = true;
    const QString detail = QStringLiteral("%1: %2").arg(what, innermostReason(condition, m_timeouts.acseSeconds));
    // A guard that fired cut the connection: say why, not how the cut looked.
    if (m_guard.fired())
        throw Failure(QStringLiteral("%1 %2 stopped: %3").arg(plainOperation(what), m_peer, m_guard.reason()),
                      m_guard.kind(), detail);
    QString reason = innermostReason(condition, m_timeouts.acseSeconds);
    if (condition == DIMSE_NODATAAVAILABLE || reason.startsWith(QLatin1String("no answer within")))
        reason = QStringLiteral("no answer within %1 seconds").arg(m_timeouts.dimseSeconds);
    throw Failure(QStringLiteral("%1 %2 failed: %3").arg(plainOperation(what), m_peer, reason),
                  Failure::Kind::Unreachable, detail);
}

bool Association::accepts(const char* abstractSyntax) const
{
    return m_assoc && ASC_findAcceptedPresentationContextID(m_assoc, abstractSyntax) != 0;
}

T_ASC_PresentationContextID Association::contextFor(const char* abstractSyntax) const
{
    const T_ASC_PresentationContextID id = ASC_findAcceptedPresentationContextID(m_assoc, abstractSyntax);
    if (id == 0) {
        const char* name = dcmFindNameOfUID(abstractSyntax, abstractSyntax);
        throw Failure(QStringLiteral("%1 does not accept %2.").arg(m_peer, QString::fromLatin1(name)),
                         Failure::Kind::Rejected);
    }
    return id;
}

} // namespace skiascan::dicom
