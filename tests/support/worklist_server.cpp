#include "support/worklist_server.h"

#include "support/peers.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace skiascan::test {

namespace {

QByteArray encode(const QString& text, bool latin1)
{
    return latin1 ? text.toLatin1() : text.toUtf8();
}

} // namespace

void writeWorklistFile(const QString& path, const WorklistEntry& e, const QString& uid)
{
    QByteArray dump;
    auto line = [&](const char* tagAndVr, const QString& value) {
        dump += QByteArray(tagAndVr) + " [" + encode(value, e.latin1) + "]\n";
    };
    if (!e.charset.isEmpty())
        line("(0008,0005) CS", e.charset);
    // With its own instance UID the file needs none made up when it is written
    // (DCMTK would ask the host's name for one, which can take seconds).
    line("(0008,0016) UI", QStringLiteral("1.2.840.10008.5.1.4.31"));
    line("(0008,0018) UI", uid + QStringLiteral(".1"));
    line("(0008,0050) SH", e.accession);
    line("(0010,0010) PN", e.name);
    line("(0010,0020) LO", e.patientId);
    line("(0010,0030) DA", e.birthDate);
    line("(0010,0040) CS", e.sex);
    if (!e.referringPhysician.isEmpty())
        line("(0008,0090) PN", e.referringPhysician);
    if (!e.referencedStudy.isEmpty()) {
        dump += "(0008,1110) SQ (Sequence with undefined length)\n(fffe,e000) na (Item with undefined length)\n";
        line("(0008,1150) UI", QStringLiteral("1.2.840.10008.3.1.2.3.1"));
        line("(0008,1155) UI", e.referencedStudy);
        dump += "(fffe,e00d) na (ItemDelimitationItem)\n(fffe,e0dd) na (SequenceDelimitationItem)\n";
    }
    line("(0020,000d) UI", e.studyUid.isEmpty() ? uid : e.studyUid);
    if (!e.bodyPart.isEmpty()) {
        dump += "(0032,1064) SQ (Sequence with undefined length)\n(fffe,e000) na (Item with undefined length)\n";
        line("(0008,0100) SH", e.bodyPart);
        line("(0008,0102) SH", QStringLiteral("LOCAL"));
        line("(0008,0104) LO", QStringLiteral("Body part"));
        dump += "(fffe,e00d) na (ItemDelimitationItem)\n(fffe,e0dd) na (SequenceDelimitationItem)\n";
    }
    line("(0032,1060) LO", e.procedureDescription);
    dump += "(0040,0100) SQ (Sequence with undefined length)\n(fffe,e000) na (Item with undefined length)\n";
    line("(0008,0060) CS", e.modality);
    line("(0040,0001) AE", e.stationAet);
    line("(0040,0002) DA", e.date.toString(QStringLiteral("yyyyMMdd")));
    line("(0040,0003) TM", e.time);
    line("(0040,0007) LO", e.stepDescription);
    if (!e.protocolCode.isEmpty()) {
        dump += "(0040,0008) SQ (Sequence with undefined length)\n(fffe,e000) na (Item with undefined length)\n";
        line("(0008,0100) SH", e.protocolCode);
        line("(0008,0102) SH", QStringLiteral("99LOCAL"));
        line("(0008,0104) LO", QStringLiteral("Protocol ") + e.protocolCode);
        dump += "(fffe,e00d) na (ItemDelimitationItem)\n(fffe,e0dd) na (SequenceDelimitationItem)\n";
    }
    line("(0040,0009) SH", e.stepId);
    line("(0040,0010) SH", e.stationName);
    dump += "(fffe,e00d) na (ItemDelimitationItem)\n(fffe,e0dd) na (SequenceDelimitationItem)\n";
    line("(0040,1001) SH", e.procedureId);

    const QString dumpPath = path + QStringLiteral(".dump");
    QFile file(dumpPath);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(dump);
    file.close();
    ChildProcess dump2dcm(QStringLiteral("dump2dcm"), {dumpPath, path}, ChildProcess::Stream::Discard,
                          ChildProcess::Stream::Pipe);
    ASSERT_EQ(dump2dcm.waitForExit(10000), 0) << dump2dcm.standardError().toStdString();
    QFile::remove(dumpPath);
}

// ------------------------------------------------------------------ wlmscpfs

WlmScp::WlmScp(const QString& aeTitle)
    : m_aeTitle(aeTitle)
    , m_port(freePort())
{
    QDir root(m_dir.path());
    root.mkpath(QStringLiteral("db/") + aeTitle);
    root.mkpath(QStringLiteral("requests"));
    QFile(root.filePath(QStringLiteral("db/%1/lockfile").arg(aeTitle))).open(QIODevice::WriteOnly);
    m_process = std::make_unique<ChildProcess>(
        QStringLiteral("wlmscpfs"),
        QStringList{QStringLiteral("-dfp"), root.filePath(QStringLiteral("db")), QStringLiteral("-dfr"),
                    QStringLiteral("-csk"), QStringLiteral("-rfp"), root.filePath(QStringLiteral("requests")),
                    QString::number(m_port)},
        ChildProcess::Stream::Discard, ChildProcess::Stream::Discard);
    EXPECT_TRUE(m_process->started());
    EXPECT_TRUE(waitForPort(m_port)) << "wlmscpfs did not listen";
}

WlmScp::~WlmScp() = default;

void WlmScp::add(const WorklistEntry& entry)
{
    ++m_count;
    writeWorklistFile(QDir(m_dir.path()).filePath(QStringLiteral("db/%1/entry%2.wl").arg(m_aeTitle).arg(m_count)), entry,
                      QStringLiteral("1.2.3.%1").arg(m_count));
}

void WlmScp::addDump(const QByteArray& dump)
{
    const QString path = QDir(m_dir.path()).filePath(QStringLiteral("db/%1/dump%2.wl").arg(m_aeTitle).arg(++m_count));
    QFile file(path + QStringLiteral(".dump"));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(dump);
    file.close();
    ChildProcess dump2dcm(QStringLiteral("dump2dcm"), {file.fileName(), path}, ChildProcess::Stream::Discard,
                          ChildProcess::Stream::Pipe);
    ASSERT_EQ(dump2dcm.waitForExit(10000), 0) << dump2dcm.standardError().toStdString();
    QFile::remove(file.fileName());
}

QStringList WlmScp::requests() const
{
    QStringList texts;
    const QDir dir(QDir(m_dir.path()).filePath(QStringLiteral("requests")));
    for (const QString& name : dir.entryList(QDir::Files, QDir::Name)) {
        QFile file(dir.filePath(name));
        if (file.open(QIODevice::ReadOnly))
            texts << QString::fromLatin1(file.readAll());
    }
    return texts;
}

// ------------------------------------------------------------------- Orthanc

OrthancServer::OrthancServer(const QString& callingAETitle, int stationPort, const std::optional<OrthancTls>& tls)
    : m_dicomPort(freePort())
    , m_httpPort(freePort())
{
    QDir root(m_dir.path());
    root.mkpath(QStringLiteral("storage"));
    root.mkpath(QStringLiteral("worklists"));
    const QString config = QStringLiteral(R"({
  "Name": "skiascan-test",
  "StorageDirectory": "%1",
  "IndexDirectory": "%1",
  "HttpPort": %2,
  "DicomPort": %3,
  "DicomAet": "ORTHANC",
  "RemoteAccessAllowed": false,
  "AuthenticationEnabled": false,
  "DicomCheckCalledAet": false,
  "Plugins": ["/usr/share/orthanc/plugins/libModalityWorklists.so"],
  "Worklists": { "Enable": true, "Database": "%4" },
  "DicomModalities": { "skiascan": { "AET": "%5", "Host": "127.0.0.1", "Port": %6,
                                     "AllowStorageCommitment": %7 } }%8
})")
                               .arg(root.filePath(QStringLiteral("storage")))
                               .arg(m_httpPort)
                               .arg(m_dicomPort)
                               .arg(root.filePath(QStringLiteral("worklists")), callingAETitle)
                               .arg(stationPort > 0 ? stationPort : 104)
                               // Over TLS it calls the station over TLS too.
                               .arg(QString(stationPort > 0 ? QStringLiteral("true") : QStringLiteral("false"))
                                    + (tls ? QStringLiteral(R"(, "UseDicomTls": true)") : QString()))
                               .arg(tls ? QStringLiteral(R"(,
  "DicomTlsEnabled": true,
  "DicomTlsCertificate": "%1",
  "DicomTlsPrivateKey": "%2",
  "DicomTlsTrustedCertificates": "%3",
  "DicomTlsRemoteCertificateRequired": true)")
                                              .arg(tls->certificate, tls->privateKey, tls->trustedCertificates)
                                        : QString());
    QFile file(root.filePath(QStringLiteral("orthanc.json")));
    EXPECT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(config.toUtf8());
    file.close();
    m_process = std::make_unique<ChildProcess>(QStringLiteral("Orthanc"),
                                               QStringList{root.filePath(QStringLiteral("orthanc.json"))},
                                               ChildProcess::Stream::Discard, ChildProcess::Stream::Inherit,
                                               root.filePath(QStringLiteral("orthanc.log")));
    EXPECT_TRUE(m_process->started());
    EXPECT_TRUE(waitForPort(m_dicomPort, 30000)) << "Orthanc did not listen";
}

OrthancServer::~OrthancServer()
{
    m_process->terminate(10000);
}

QByteArray OrthancServer::get(const QString& path) const
{
    // HTTP/1.0 on loopback: the answer ends when Orthanc closes the connection.
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    timeval timeout{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(quint16(m_httpPort));
    QByteArray response;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        const QByteArray request = "GET " + path.toUtf8() + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
        if (::write(fd, request.constData(), std::size_t(request.size())) == request.size()) {
            char buffer[65536];
            for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;)
                response.append(buffer, n);
        }
    }
    ::close(fd);
    const qsizetype body = response.indexOf("\r\n\r\n");
    return body < 0 ? QByteArray() : response.mid(body + 4);
}

void OrthancServer::addWorklist(const WorklistEntry& entry)
{
    ++m_count;
    writeWorklistFile(QDir(m_dir.path()).filePath(QStringLiteral("worklists/entry%1.wl").arg(m_count)), entry,
                      QStringLiteral("1.2.4.%1").arg(m_count));
}

// ----------------------------------------------------------- HostileWorklist

HostileWorklist::HostileWorklist(const QStringList& mode)
    : m_process(QStringLiteral(HOSTILE_WORKLIST), mode, ChildProcess::Stream::Pipe)
{
    // It prints its port first.
    if (m_process.started())
        m_port = m_process.readLine(10000).trimmed().toInt();
    EXPECT_GT(m_port, 0) << "the hostile worklist server did not start";
}

HostileWorklist::~HostileWorklist() = default;

int HostileWorklist::queries()
{
    for (const QByteArray& line : m_process.readLines())
        if (line.trimmed() == "query")
            ++m_queries;
    return m_queries;
}

} // namespace skiascan::test
