#include "delivery/destinations.h"

#include "support/qt_printers.h"

#include <gtest/gtest.h>

using namespace skiascan;

TEST(Destinations, TheRowsThatAreNodesInRowOrderEachAeTitleOnce)
{
    const std::vector<Node> twice = configuredNodes(parseRemoteNodes({"PACS|10.0.0.5|104", "||", "PACS|10.0.0.6|105"}));
    ASSERT_EQ(twice.size(), 1u);
    EXPECT_EQ(twice[0].host, "10.0.0.5");

    const std::vector<Node> nodes = configuredNodes(parseRemoteNodes({"ab", "BAD|10.0.0.5|x", "ARCHIVE|archive|11112"}));
    ASSERT_EQ(nodes.size(), 2u);
    EXPECT_EQ(nodes[0].row, 1);
    EXPECT_EQ(nodes[0].aeTitle, "BAD");
    EXPECT_EQ(nodes[0].problem, "The port \"x\" of destination 2 (BAD) is not a number.");
    EXPECT_EQ(nodes[1].row, 2);
    EXPECT_EQ(nodes[1].port, 11112);
    EXPECT_EQ(nodes[1].problem, "");
    EXPECT_EQ(nodeWithTitle(nodes, "ARCHIVE"), &nodes[1]);
    EXPECT_EQ(nodeWithTitle(nodes, "PACS"), nullptr);
}
