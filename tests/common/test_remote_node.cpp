#include "common/remote_node.h"

#include "support/qt_printers.h"

#include <gtest/gtest.h>

using namespace skiascan;

TEST(RemoteNode, ShortRowsAreNoNodeAndOthersAreTakenAsWritten)
{
    for (const char* none : {"", "||", "ab"}) {
        const RemoteNode node = parseRemoteNode(none, 0);
        EXPECT_FALSE(node.isNode) << none;
        EXPECT_TRUE(node.problem.isEmpty()) << none;
        EXPECT_EQ(remoteNodeText(node), "||") << none;
    }

    const RemoteNode pacs = parseRemoteNode("PACS|10.0.0.5|104|extra", 0);
    EXPECT_TRUE(pacs.isNode);
    EXPECT_EQ(pacs.aeTitle, "PACS");
    EXPECT_EQ(pacs.host, "10.0.0.5");
    EXPECT_EQ(pacs.port, 104);
    EXPECT_EQ(pacs.problem, "");
    EXPECT_EQ(remoteNodeText(pacs), "PACS|10.0.0.5|104");

    // Blanks: the AE title and the address keep theirs, the port may have some
    // around it, and the row text gives them all back.
    const RemoteNode blanks = parseRemoteNode(" PACS | archive |\t11112 ", 0);
    EXPECT_EQ(blanks.aeTitle, " PACS ");
    EXPECT_EQ(blanks.host, " archive ");
    EXPECT_EQ(blanks.port, 11112);
    EXPECT_EQ(blanks.problem, "");
    EXPECT_EQ(remoteNodeText(blanks), " PACS | archive |\t11112 ");

    EXPECT_EQ(parseRemoteNode("A|h|1", 0).port, 1);
    EXPECT_EQ(parseRemoteNode("A|h|65535", 0).port, 65535);

    const RemoteNodes rows = parseRemoteNodes({"||", "B|h|104", "C|h|x"});
    EXPECT_FALSE(rows[0].isNode);
    EXPECT_EQ(rows[1].port, 104);
    EXPECT_TRUE(rows[2].problem.contains("destination 3")) << rows[2].problem.toStdString();
}

TEST(RemoteNode, RowsThatCannotBeUsedAreNodesWithTheirProblem)
{
    const RemoteNode missing = parseRemoteNode("AE|", 1);
    EXPECT_TRUE(missing.isNode);
    EXPECT_EQ(missing.aeTitle, "AE");
    EXPECT_EQ(missing.port, 0);
    EXPECT_EQ(missing.problem, "The destination 2 setting \"AE|\" is not of the form AET|address|port.");
    EXPECT_EQ(remoteNodeText(missing), "AE||");

    for (const char* port : {"", " ", "abc", "10 4", "104a", "0x68", "104.5", "99999999999"}) {
        const RemoteNode node = parseRemoteNode(QString("PACS|10.0.0.5|") + port, 0);
        EXPECT_TRUE(node.isNode) << port;
        EXPECT_EQ(node.port, 0) << port;
        EXPECT_EQ(node.problem, QString("The port \"%1\" of destination 1 (PACS) is not a number.").arg(port));
        EXPECT_EQ(node.portText, port);
    }
    for (const char* port : {"0", "-104", "65536"}) {
        const RemoteNode node = parseRemoteNode(QString("PACS|10.0.0.5|") + port, 2);
        EXPECT_EQ(node.port, 0) << port;
        EXPECT_EQ(node.problem,
                  QString("The port \"%1\" of destination 3 (PACS) is not a port number from 1 to 65535.").arg(port));
    }
}
