// The connection of an association, made here rather than by DCMTK, so that
// its guard holds the socket from the moment it exists: a name lookup or a
// connect to a host that does not answer is cut by Cancel or a stop at once,
// not after DCMTK's connect timeout.
//
// DCMTK makes its own connection from the association's presentation address
// and offers no way to hand it one. So the association gives DCMTK the address
// of a door on the loopback interface, which its connect reaches at once, and
// the transport puts the connection made here in place of the one DCMTK made
// (dup2 onto DCMTK's socket number) before the first byte of DICOM goes out.

#include "dicom/dcmtk_internal.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

namespace skiascan::dicom {

namespace {

using Clock = std::chrono::steady_clock;

struct AddressList {
    addrinfo* first = nullptr;
    ~AddressList()
    {
        if (first)
            ::freeaddrinfo(first);
    }
};

// A name lookup in glibc's own background, waited for in short slices so that
// the guard can end the wait. A lookup that cannot be cancelled once it has
// begun is left to finish on its own: its request is then not freed, as
// glibc still writes into it.
struct Lookup {
    QByteArray name;
    addrinfo hints{};
    gaicb request{};
};

void lookUp(const QString& host, qint32 port, NetworkGuard& guard, const QString& peer, const QString& what,
            AddressList& found)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    const QByteArray name = host.trimmed().toUtf8();
    const QByteArray service = QByteArray::number(port);
    // An address needs no lookup.
    if (::getaddrinfo(name.constData(), service.constData(), &hints, &found.first) == 0)
        return;
    auto lookup = std::make_unique<Lookup>();
    lookup->name = name;
    lookup->hints.ai_family = AF_UNSPEC;
    lookup->hints.ai_socktype = SOCK_STREAM;
    lookup->request.ar_name = lookup->name.constData();
    lookup->request.ar_request = &lookup->hints;
    gaicb* list[] = {&lookup->request};
    if (::getaddrinfo_a(GAI_NOWAIT, list, 1, nullptr) != 0)
        throw Failure(QStringLiteral("%1 cannot be reached: its name cannot be looked up.").arg(peer),
                      Failure::Kind::Unreachable);
    while (::gai_error(&lookup->request) == EAI_INPROGRESS) {
        if (guard.fired()) {
            if (::gai_cancel(&lookup->request) == EAI_NOTCANCELED)
                lookup.release(); // glibc finishes it and writes into it
            throw Failure(QStringLiteral("%1 %2 stopped: %3").arg(what, peer, guard.reason()), guard.kind());
        }
        const timespec slice{0, 100'000'000};
        const gaicb* waiting[] = {&lookup->request};
        ::gai_suspend(waiting, 1, &slice);
    }
    const int result = ::gai_error(&lookup->request);
    if (result != 0 || !lookup->request.ar_result)
        throw Failure(QStringLiteral("%1 cannot be reached: the name \"%2\" is not known.").arg(peer, host.trimmed()),
                      Failure::Kind::Unreachable, QString::fromLocal8Bit(::gai_strerror(result)));
    found.first = lookup->request.ar_result;
    for (addrinfo* a = found.first; a; a = a->ai_next) {
        if (a->ai_family == AF_INET)
            reinterpret_cast<sockaddr_in*>(a->ai_addr)->sin_port = htons(static_cast<quint16>(port));
        else if (a->ai_family == AF_INET6)
            reinterpret_cast<sockaddr_in6*>(a->ai_addr)->sin6_port = htons(static_cast<quint16>(port));
    }
}

// One connect, given the time left; the guard holds the socket throughout.
// Returns the socket, or -1 with errno set.
int connectOne(const addrinfo& address, NetworkGuard& guard, Clock::time_point until)
{
    const int fd = ::socket(address.ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    guard.attach(fd);
    int result = ::connect(fd, address.ai_addr, address.ai_addrlen);
    if (result < 0 && errno == EINPROGRESS) {
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
            if (left <= 0) {
                errno = ETIMEDOUT;
                break;
            }
            pollfd wait{fd, POLLOUT, 0};
            const int ready = ::poll(&wait, 1, static_cast<int>(left));
            if (ready < 0 && errno == EINTR)
                continue;
            if (ready > 0) {
                int error = 0;
                socklen_t length = sizeof error;
                ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length);
                if (error == 0 && !guard.fired())
                    result = 0;
                else
                    errno = error != 0 ? error : ECONNABORTED;
            } else if (ready == 0) {
                errno = ETIMEDOUT;
            }
            break;
        }
    }
    if (result < 0) {
        const int error = errno;
        guard.detach();
        ::close(fd);
        errno = error;
        return -1;
    }
    // Blocking from now on, as DCMTK expects of its sockets.
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

} // namespace

int connectGuarded(const QString& host, qint32 port, NetworkGuard& guard, const QString& peer, const QString& what)
{
    AddressList addresses;
    lookUp(host, port, guard, peer, what, addresses);
    const Clock::time_point until = Clock::now() + std::chrono::seconds(kConnectSeconds);
    int error = 0;
    for (const addrinfo* a = addresses.first; a; a = a->ai_next) {
        const int fd = connectOne(*a, guard, until);
        if (fd >= 0)
            return fd;
        error = errno;
        if (guard.fired())
            throw Failure(QStringLiteral("%1 %2 stopped: %3").arg(what, peer, guard.reason()), guard.kind());
        if (error == ETIMEDOUT)
            break;
    }
    const QString why = error == ECONNREFUSED ? QStringLiteral("nothing listens on port %1 there").arg(port)
        : error == ETIMEDOUT                  ? QStringLiteral("no answer to the connection within %1 s").arg(kConnectSeconds)
                                              : QString::fromLocal8Bit(std::strerror(error));
    throw Failure(QStringLiteral("%1 cannot be reached: %2.").arg(peer, why), Failure::Kind::Unreachable,
                  QStringLiteral("connect: %1").arg(QString::fromLocal8Bit(std::strerror(error))));
}

LoopbackDoor::LoopbackDoor()
{
    m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (m_fd < 0 || ::bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0
        || ::listen(m_fd, 1) != 0 || ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        const QString why = QString::fromLocal8Bit(std::strerror(errno));
        if (m_fd >= 0)
            ::close(m_fd);
        throw Failure(QStringLiteral("Cannot prepare a network connection: %1").arg(why), Failure::Kind::General);
    }
    m_port = ntohs(address.sin_port);
}

LoopbackDoor::~LoopbackDoor()
{
    ::close(m_fd);
}

QByteArray LoopbackDoor::address() const
{
    return QByteArrayLiteral("127.0.0.1:") + QByteArray::number(m_port);
}

} // namespace skiascan::dicom
