// A worklist server that misbehaves on purpose, for the tests: it accepts any
// association, reads the C-FIND request and then does what its mode says.
//
//   hostile_worklist MODE [N]
//
//   drip N      one pending answer every N milliseconds, for ever
//   endless     pending answers as fast as the connection takes them
//   count N     N pending answers, then success
//   huge N      one answer of N megabytes (a text value streamed, never held)
//   claim       one answer whose name claims nearly 4 GB it does not hold
//   garbage     bytes that are no PDU instead of answers
//   close       the first half of an answer, then the connection closed
//
// It listens on a free loopback port, which it prints on the first line of
// its output, and writes "query" on a line for every C-FIND request it reads.
// It speaks the upper layer protocol itself, so that it can send what no
// toolkit would; answers use Implicit VR Little Endian.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using Bytes = std::string;

struct Closed {}; // the peer went away, or a write failed: the association ends

void put16be(Bytes& b, unsigned v)
{
    b += char(v >> 8);
    b += char(v);
}

void put32be(Bytes& b, uint32_t v)
{
    put16be(b, v >> 16);
    put16be(b, v & 0xFFFF);
}

void put16le(Bytes& b, unsigned v)
{
    b += char(v);
    b += char(v >> 8);
}

void put32le(Bytes& b, uint32_t v)
{
    put16le(b, v & 0xFFFF);
    put16le(b, v >> 16);
}

// One element in Implicit VR Little Endian; text padded to even length.
void element(Bytes& b, unsigned group, unsigned elem, Bytes value, char pad = ' ')
{
    if (value.size() % 2)
        value += pad;
    put16le(b, group);
    put16le(b, elem);
    put32le(b, uint32_t(value.size()));
    b += value;
}

Bytes us(unsigned v)
{
    Bytes b;
    put16le(b, v);
    return b;
}

void readAll(int fd, char* data, std::size_t size)
{
    while (size > 0) {
        const ssize_t n = ::read(fd, data, size);
        if (n <= 0)
            throw Closed{};
        data += n;
        size -= std::size_t(n);
    }
}

void writeAll(int fd, const Bytes& b)
{
    std::size_t done = 0;
    while (done < b.size()) {
        const ssize_t n = ::send(fd, b.data() + done, b.size() - done, MSG_NOSIGNAL);
        if (n <= 0)
            throw Closed{};
        done += std::size_t(n);
    }
}

struct Pdu {
    unsigned type;
    Bytes body;
};

Pdu readPdu(int fd)
{
    unsigned char header[6];
    readAll(fd, reinterpret_cast<char*>(header), 6);
    const uint32_t length = uint32_t(header[2]) << 24 | uint32_t(header[3]) << 16 | uint32_t(header[4]) << 8 | header[5];
    if (length > (1u << 24))
        throw Closed{};
    Pdu pdu{header[0], Bytes(length, '\0')};
    readAll(fd, pdu.body.data(), length);
    return pdu;
}

Bytes pdu(unsigned type, const Bytes& body)
{
    Bytes b;
    b += char(type);
    b += '\0';
    put32be(b, uint32_t(body.size()));
    return b + body;
}

unsigned be16(const Bytes& b, std::size_t at)
{
    return unsigned(static_cast<unsigned char>(b[at])) << 8 | static_cast<unsigned char>(b[at + 1]);
}

uint32_t be32(const Bytes& b, std::size_t at)
{
    return uint32_t(be16(b, at)) << 16 | be16(b, at + 2);
}

const char kImplicitLittleEndian[] = "1.2.840.10008.1.2";

// Answers an A-ASSOCIATE-RQ: every presentation context that offers Implicit
// VR Little Endian is accepted with it. Returns the largest PDU the peer takes.
uint32_t associate(int fd)
{
    const Pdu request = readPdu(fd);
    if (request.type != 0x01 || request.body.size() < 68)
        throw Closed{};
    const Bytes& rq = request.body;
    Bytes ac;
    put16be(ac, 1);
    put16be(ac, 0);
    ac += rq.substr(4, 32); // the AE titles as they came
    ac += Bytes(32, '\0');
    auto item = [&](unsigned type, const Bytes& data) {
        ac += char(type);
        ac += '\0';
        put16be(ac, unsigned(data.size()));
        ac += data;
    };
    item(0x10, "1.2.840.10008.3.1.1.1");
    uint32_t peerMaximum = 16384;
    for (std::size_t at = 68; at + 4 <= rq.size();) {
        const unsigned type = static_cast<unsigned char>(rq[at]);
        const std::size_t length = be16(rq, at + 2);
        const Bytes data = rq.substr(at + 4, length);
        at += 4 + length;
        if (type == 0x20 && data.size() >= 4) {
            bool implicit = false;
            for (std::size_t sub = 4; sub + 4 <= data.size();) {
                const std::size_t subLength = be16(data, sub + 2);
                if (static_cast<unsigned char>(data[sub]) == 0x40
                    && data.compare(sub + 4, subLength, kImplicitLittleEndian) == 0)
                    implicit = true;
                sub += 4 + subLength;
            }
            Bytes answer;
            answer += data[0];
            answer += '\0';
            answer += char(implicit ? 0 : 4); // accepted, or transfer syntaxes not supported
            answer += '\0';
            answer += char(0x40);
            answer += '\0';
            put16be(answer, sizeof kImplicitLittleEndian - 1);
            answer += kImplicitLittleEndian;
            item(0x21, answer);
        } else if (type == 0x50) {
            for (std::size_t sub = 0; sub + 4 <= data.size();) {
                const std::size_t subLength = be16(data, sub + 2);
                if (static_cast<unsigned char>(data[sub]) == 0x51 && subLength == 4 && be32(data, sub + 4) > 0)
                    peerMaximum = be32(data, sub + 4);
                sub += 4 + subLength;
            }
        }
    }
    Bytes user;
    user += char(0x51);
    user += '\0';
    put16be(user, 4);
    put32be(user, 16384);
    const Bytes implementation = "2.25.31415926535";
    user += char(0x52);
    user += '\0';
    put16be(user, unsigned(implementation.size()));
    user += implementation;
    item(0x50, user);
    writeAll(fd, pdu(0x02, ac));
    return peerMaximum;
}

struct Request {
    unsigned messageId = 0;
    unsigned char context = 1;
    Bytes sopClass;
};

// Reads P-DATA-TF PDUs until the C-FIND request's command and identifier are
// complete. Anything else (a release) ends the association.
Request readFind(int fd)
{
    Request request;
    Bytes command;
    bool commandDone = false;
    bool dataDone = false;
    while (!commandDone || !dataDone) {
        const Pdu p = readPdu(fd);
        if (p.type == 0x05) // release request
            writeAll(fd, pdu(0x06, Bytes(4, '\0')));
        if (p.type != 0x04)
            throw Closed{};
        for (std::size_t at = 0; at + 6 <= p.body.size();) {
            const uint32_t length = be32(p.body, at);
            if (length < 2 || at + 4 + length > p.body.size())
                throw Closed{};
            request.context = static_cast<unsigned char>(p.body[at + 4]);
            const unsigned header = static_cast<unsigned char>(p.body[at + 5]);
            if (header & 1) {
                command += p.body.substr(at + 6, length - 2);
                commandDone = header & 2;
            } else {
                dataDone = header & 2;
            }
            at += 4 + length;
        }
    }
    for (std::size_t at = 0; at + 8 <= command.size();) {
        const unsigned elem = static_cast<unsigned char>(command[at + 2]) | static_cast<unsigned char>(command[at + 3]) << 8;
        const uint32_t length = uint32_t(static_cast<unsigned char>(command[at + 4]))
                                | uint32_t(static_cast<unsigned char>(command[at + 5])) << 8
                                | uint32_t(static_cast<unsigned char>(command[at + 6])) << 16
                                | uint32_t(static_cast<unsigned char>(command[at + 7])) << 24;
        if (length > command.size() - at - 8)
            break;
        const Bytes value = command.substr(at + 8, length);
        if (elem == 0x0110 && length == 2)
            request.messageId = static_cast<unsigned char>(value[0]) | static_cast<unsigned char>(value[1]) << 8;
        if (elem == 0x0002)
            request.sopClass = value.substr(0, value.find('\0'));
        at += 8 + length;
    }
    std::printf("query\n");
    std::fflush(stdout);
    return request;
}

// The command of a C-FIND response.
Bytes findResponse(const Request& request, unsigned status, bool withAnswer)
{
    Bytes rest;
    element(rest, 0x0000, 0x0002, request.sopClass, '\0');
    element(rest, 0x0000, 0x0100, us(0x8020));
    element(rest, 0x0000, 0x0120, us(request.messageId));
    element(rest, 0x0000, 0x0800, us(withAnswer ? 0x0000 : 0x0101));
    element(rest, 0x0000, 0x0900, us(status));
    Bytes length;
    put32le(length, uint32_t(rest.size()));
    Bytes command;
    element(command, 0x0000, 0x0000, length);
    return command + rest;
}

// P-DATA-TF with one PDV.
Bytes pdv(const Request& request, bool isCommand, bool last, const Bytes& data)
{
    Bytes body;
    put32be(body, uint32_t(data.size() + 2));
    body += char(request.context);
    body += char((isCommand ? 1 : 0) | (last ? 2 : 0));
    return pdu(0x04, body + data);
}

// A worklist entry for today, scheduled for this station.
Bytes answer(int number)
{
    Bytes a;
    element(a, 0x0008, 0x0005, "ISO_IR 100");
    element(a, 0x0008, 0x0050, "ACC" + std::to_string(number));
    element(a, 0x0010, 0x0010, "Hostile^Number" + std::to_string(number));
    element(a, 0x0010, 0x0020, "H" + std::to_string(number));
    element(a, 0x0010, 0x0030, "19600201");
    element(a, 0x0010, 0x0040, "O");
    Bytes step;
    element(step, 0x0008, 0x0060, "CR");
    element(step, 0x0040, 0x0001, "SKIA1");
    element(step, 0x0040, 0x0003, "093000");
    Bytes item;
    put16le(item, 0xFFFE);
    put16le(item, 0xE000);
    put32le(item, uint32_t(step.size()));
    element(a, 0x0040, 0x0100, item + step);
    return a;
}

void sendAnswer(int fd, const Request& request, const Bytes& data)
{
    writeAll(fd, pdv(request, true, true, findResponse(request, 0xFF00, true)));
    writeAll(fd, pdv(request, false, true, data));
}

void serve(int fd, const std::string& mode, long n)
{
    const uint32_t peerMaximum = associate(fd);
    const Request request = readFind(fd);
    if (mode == "drip" || mode == "endless") {
        for (int i = 1;; ++i) {
            sendAnswer(fd, request, answer(i));
            if (mode == "drip")
                std::this_thread::sleep_for(std::chrono::milliseconds(n));
        }
    } else if (mode == "count") {
        for (int i = 1; i <= n; ++i)
            sendAnswer(fd, request, answer(i));
    } else if (mode == "huge") {
        // The comments of the patient, one long text value, in PDVs as large as the peer takes.
        writeAll(fd, pdv(request, true, true, findResponse(request, 0xFF00, true)));
        const Bytes start = answer(1);
        Bytes header;
        put16le(header, 0x0010);
        put16le(header, 0x4000);
        const uint64_t total = uint64_t(n) * 1024 * 1024;
        put32le(header, uint32_t(total));
        writeAll(fd, pdv(request, false, false, start + header));
        const std::size_t piece = peerMaximum > 1024 ? peerMaximum - 6 : 1018;
        const Bytes text(piece, 'x');
        for (uint64_t sent = 0; sent < total; sent += piece) {
            const uint64_t now = std::min<uint64_t>(piece, total - sent);
            writeAll(fd, pdv(request, false, sent + now == total, text.substr(0, now)));
        }
    } else if (mode == "claim") {
        Bytes a = answer(1);
        Bytes claiming;
        put16le(claiming, 0x0010);
        put16le(claiming, 0x4000);
        put32le(claiming, 0xFFFFFFF0u);
        sendAnswer(fd, request, a + claiming + "short!");
    } else if (mode == "garbage") {
        writeAll(fd, Bytes(65536, '\x7F'));
    } else if (mode == "close") {
        writeAll(fd, pdv(request, true, true, findResponse(request, 0xFF00, true)));
        const Bytes a = answer(1);
        writeAll(fd, pdv(request, false, false, a.substr(0, a.size() / 2)));
        return;
    }
    writeAll(fd, pdv(request, true, true, findResponse(request, 0x0000, false)));
    const Pdu release = readPdu(fd);
    if (release.type == 0x05)
        writeAll(fd, pdu(0x06, Bytes(4, '\0')));
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s drip|endless|count|huge|claim|garbage|close [N]\n", argv[0]);
        return 2;
    }
    const std::string mode = argv[1];
    const long n = argc > 2 ? std::strtol(argv[2], nullptr, 10) : 0;
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(listener, 4) != 0
        || ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        std::perror("hostile_worklist");
        return 1;
    }
    std::printf("%d\n", ntohs(address.sin_port));
    std::fflush(stdout);
    for (;;) {
        const int fd = ::accept(listener, nullptr, nullptr);
        if (fd < 0)
            continue;
        try {
            serve(fd, mode, n);
        } catch (const Closed&) {
        }
        ::close(fd);
    }
}
