#include "support/mpps_node.h"

#include "dicom/network.h"
#include "support/peers.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QThread>

#include <gtest/gtest.h>

#include <algorithm>

#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace skiascan::test {

namespace {

bool refuses(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    const bool refused = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0;
    ::close(fd);
    return refused;
}

} // namespace

MppsNode::MppsNode(const QStringList& options, const QString& aeTitle)
    : m_aeTitle(aeTitle)
    , m_port(freePort())
{
    // Debian's interpreter, which has python3-odil, whatever python3 comes first in PATH.
    QStringList arguments{QStringLiteral(MPPS_PEER), QString::number(m_port), m_dir.path()};
    m_process = std::make_unique<ChildProcess>(QStringLiteral("/usr/bin/python3"), arguments + options);
    EXPECT_TRUE(m_process->started()) << "the MPPS node did not start";
    waitUntilReady();
}

MppsNode::~MppsNode()
{
    m_process->terminate(5000);
}

QString MppsNode::name() const
{
    return dicom::nodeName(m_aeTitle, QStringLiteral("127.0.0.1"), m_port);
}

void MppsNode::waitUntilReady()
{
    // Python and odil take a moment to start: it is ready when it answers.
    QElapsedTimer clock;
    clock.start();
    QString last;
    while (clock.elapsed() < 20000) {
        try {
            dicom::NetworkGuard guard(std::chrono::seconds(5));
            const dicom::Verification answer =
                dicom::verify(QStringLiteral("127.0.0.1"), m_port, m_aeTitle, QStringLiteral("READY"), {5, 5}, &guard,
                              {}, dicom::VerifiedService::Mpps);
            EXPECT_TRUE(answer.acceptsMpps);
            return;
        } catch (const Failure& e) {
            last = e.description();
        }
        if (m_process->waitForExit(0) != -1) {
            ADD_FAILURE() << "the MPPS node ended at its start";
            return;
        }
        QThread::msleep(20);
    }
    ADD_FAILURE() << "the MPPS node did not answer within 20 s: " << last.toStdString();
}

void MppsNode::stop()
{
    ::kill(static_cast<pid_t>(m_process->pid()), SIGUSR1);
    QElapsedTimer clock;
    clock.start();
    while (!refuses(m_port)) {
        if (clock.elapsed() > 5000) {
            ADD_FAILURE() << "the MPPS node did not stop";
            return;
        }
        QThread::msleep(10);
    }
}

void MppsNode::resume()
{
    ::kill(static_cast<pid_t>(m_process->pid()), SIGUSR2);
    waitUntilReady();
}

std::vector<MppsMessage> MppsNode::received() const
{
    std::vector<MppsMessage> messages;
    const QDir folder(m_dir.path());
    // A record is complete once its JSON file exists (the node writes it last).
    for (const QString& name : folder.entryList({QStringLiteral("*.json")}, QDir::Files)) {
        QFile file(folder.filePath(name));
        if (!file.open(QIODevice::ReadOnly))
            continue;
        const QJsonObject o = QJsonDocument::fromJson(file.readAll()).object();
        MppsMessage m;
        m.number = o.value(QStringLiteral("number")).toInt();
        m.operation = o.value(QStringLiteral("operation")).toString();
        m.sopInstanceUid = o.value(QStringLiteral("sopInstanceUid")).toString();
        m.status = o.value(QStringLiteral("status")).toInt();
        m.errorId = o.value(QStringLiteral("errorId")).toInt();
        m.dataSet = folder.filePath(QStringLiteral("%1.dcm").arg(m.number, 4, 10, QLatin1Char('0')));
        messages.push_back(m);
    }
    std::sort(messages.begin(), messages.end(),
              [](const MppsMessage& a, const MppsMessage& b) { return a.number < b.number; });
    return messages;
}

bool MppsNode::waitForMessages(int count, int timeoutMs) const
{
    QElapsedTimer clock;
    clock.start();
    while (static_cast<int>(received().size()) < count) {
        if (clock.elapsed() > timeoutMs)
            return false;
        QThread::msleep(10);
    }
    return true;
}

QString MppsNode::stepFile(const QString& instanceUid) const
{
    const QString path = QDir(m_dir.path()).filePath(QStringLiteral("steps/%1.dcm").arg(instanceUid));
    return QFile::exists(path) ? path : QString();
}

} // namespace skiascan::test
