// A Modality Performed Procedure Step node that is not ours: the odil library's
// N-CREATE and N-SET providers (Debian's python3-odil), run by
// tests/support/mpps_peer.py as a process of its own on a free loopback port.
#pragma once

#include "support/child_process.h"

#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>
#include <vector>

namespace skiascan::test {

/// One N-CREATE or N-SET the node received, as it recorded it.
struct MppsMessage {
    int number = 0;         ///< in the order of arrival, from 1
    QString operation;      ///< "N-CREATE" or "N-SET"
    QString sopInstanceUid; ///< the step it names
    int status = 0;         ///< what the node answered
    int errorId = 0;        ///< the Error ID it answered with, 0 for none
    QString dataSet;        ///< the file holding the data set as received
};

class MppsNode {
public:
    /// Starts the node and waits until it answers a C-ECHO. `options` are
    /// further options of mpps_peer.py, such as {"--refuse", "0x0110"}.
    explicit MppsNode(const QStringList& options = {}, const QString& aeTitle = QStringLiteral("RIS"));
    /// Stops the node, whatever it is doing.
    ~MppsNode();
    MppsNode(const MppsNode&) = delete;
    MppsNode& operator=(const MppsNode&) = delete;

    int port() const { return m_port; }
    QString aeTitle() const { return m_aeTitle; }
    /// "RIS (127.0.0.1:port)", as the program names the node.
    QString name() const;

    /// The node goes down: its port refuses connections and an association
    /// under way is cut. Returns once the port refuses.
    void stop();
    /// The node is back: returns once it answers a C-ECHO again.
    void resume();

    /// Every message recorded completely so far, in the order of arrival.
    std::vector<MppsMessage> received() const;
    /// Waits at most `timeoutMs` until `count` messages are recorded.
    bool waitForMessages(int count, int timeoutMs = 10000) const;
    /// The file of the step as the node holds it (its N-CREATE with every
    /// N-SET applied, SOP class and instance UID added); empty when it holds
    /// no such step.
    QString stepFile(const QString& instanceUid) const;

private:
    void waitUntilReady();

    QString m_aeTitle;
    QTemporaryDir m_dir;
    int m_port = 0;
    std::unique_ptr<ChildProcess> m_process;
};

} // namespace skiascan::test
