// Real worklist servers for the tests: DCMTK's wlmscpfs and Orthanc with its
// worklist plugin, on free loopback ports, serving entries the test describes.
#pragma once

#include "support/child_process.h"

#include <QDate>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>
#include <optional>

namespace skiascan::test {

/// One scheduled procedure step as a worklist file holds it.
struct WorklistEntry {
    QString name = QStringLiteral("Smith^John");
    QString patientId = QStringLiteral("4711");
    QString birthDate = QStringLiteral("19600201");
    QString sex = QStringLiteral("M");
    QString accession = QStringLiteral("ACC1");
    QDate date = QDate::currentDate();
    QString time = QStringLiteral("093000");
    QString modality = QStringLiteral("CR");
    QString stationAet = QStringLiteral("SKIA1");
    QString stationName = QStringLiteral("ROOM1");
    QString bodyPart = QStringLiteral("CHEST"); // empty: no Requested Procedure Code Sequence
    QString charset;                            // (0008,0005), empty for none
    bool latin1 = false;                        // text bytes in Latin-1 rather than UTF-8
    // The order: the study the RIS made and what it scheduled.
    QString studyUid;                           // empty: the file's own UID
    QString referringPhysician;                 // empty: none
    QString referencedStudy;                    // a referenced study's instance UID; empty: none
    QString procedureId = QStringLiteral("RP1");
    QString procedureDescription = QStringLiteral("X-ray");
    QString stepId = QStringLiteral("SPS1");
    QString stepDescription = QStringLiteral("Film");
    QString protocolCode;                       // Scheduled Protocol Code (scheme 99LOCAL); empty: none
};

/// Writes the entry as a worklist file (through dump2dcm).
void writeWorklistFile(const QString& path, const WorklistEntry& entry, const QString& uid);

/// DCMTK wlmscpfs serving files from a folder of its own, keeping each file's
/// character set, and writing every request it receives to a file.
class WlmScp {
public:
    explicit WlmScp(const QString& aeTitle = QStringLiteral("WLSRV"));
    ~WlmScp();

    void add(const WorklistEntry& entry);
    /// Serves a worklist file made from dump2dcm text.
    void addDump(const QByteArray& dump);
    int port() const { return m_port; }
    QString aeTitle() const { return m_aeTitle; }
    /// The requests received so far, as dcmdump text.
    QStringList requests() const;

private:
    QString m_aeTitle;
    QTemporaryDir m_dir;
    int m_port;
    int m_count = 0;
    std::unique_ptr<ChildProcess> m_process;
};

/// What Orthanc needs to speak DICOM over TLS only: its key and certificate, and
/// the authorities whose certificates it requires of every peer.
struct OrthancTls {
    QString certificate;
    QString privateKey;
    QString trustedCertificates;
};

/// Orthanc with its ModalityWorklists plugin, storage in a folder of its own: a
/// worklist server and a PACS; with `tls`, over TLS only.
class OrthancServer {
public:
    /// It knows the station as `callingAETitle`; with a `stationPort`, it
    /// commits to what it stored and reports on that port of 127.0.0.1.
    explicit OrthancServer(const QString& callingAETitle = QStringLiteral("SKIASCAN"), int stationPort = 0,
                           const std::optional<OrthancTls>& tls = std::nullopt);
    ~OrthancServer();

    void addWorklist(const WorklistEntry& entry);
    /// The body of a GET of its REST interface (e.g. "/instances"); empty when
    /// it does not answer.
    QByteArray get(const QString& path) const;
    /// The setting "ORTHANC|127.0.0.1|port" that names it as a node.
    QString setting() const { return QStringLiteral("ORTHANC|127.0.0.1|%1").arg(m_dicomPort); }
    int dicomPort() const { return m_dicomPort; }
    int httpPort() const { return m_httpPort; }
    QString aeTitle() const { return QStringLiteral("ORTHANC"); }

private:
    QTemporaryDir m_dir;
    int m_dicomPort;
    int m_httpPort;
    int m_count = 0;
    std::unique_ptr<ChildProcess> m_process;
};

/// A worklist server that misbehaves on purpose (tests/support/hostile_worklist.cpp
/// says how), as a process of its own, so that what it holds is not counted in
/// the test's memory.
class HostileWorklist {
public:
    /// `mode` and its argument, e.g. {"drip", "500"}, {"huge", "600"}.
    explicit HostileWorklist(const QStringList& mode);
    ~HostileWorklist();

    int port() const { return m_port; }
    /// The C-FIND requests it has read so far.
    int queries();

private:
    ChildProcess m_process;
    int m_port = 0;
    int m_queries = 0;
};

} // namespace skiascan::test
