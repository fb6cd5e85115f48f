#include "delivery/destinations.h"

#include "support/qt_printers.h"

#include <gtest/gtest.h>

using namespace skiascan;

TEST(Destinations, ANodeIsItsAeTitleAddressAndPortAndAMovedNodeIsFoundByItsTitle)
{
    // Two sites that both call their archive "PACS" are two nodes; a row that
    // repeats a node is that node once.
    const std::vector<Node> nodes = configuredNodes(
        parseRemoteNodes({"PACS|10.0.0.5|104", "PACS|10.0.0.6|104", "pacs|10.0.0.5|104"}));
    ASSERT_EQ(nodes.size(), 3u);
    EXPECT_EQ(configuredNodes(parseRemoteNodes({"PACS|Host|104", "PACS| host |104", "||"})).size(), 1u);

    const std::vector<Node> bad = configuredNodes(parseRemoteNodes({"ab", "BAD|10.0.0.5|x", "ARCHIVE|archive|11112"}));
    ASSERT_EQ(bad.size(), 2u);
    EXPECT_EQ(bad[0].row, 1);
    EXPECT_EQ(bad[0].problem, "The port \"x\" of destination 2 (BAD) is not a number.");
    EXPECT_EQ(bad[1].problem, "");

    // The exact node counts; an AE title in one row is the node moved; in two
    // rows, neither is it.
    EXPECT_EQ(nodeFor(nodes, {"PACS", "10.0.0.6", 104}), &nodes[1]);
    EXPECT_EQ(nodeFor(nodes, {"PACS", "10.0.0.7", 104}), nullptr);
    EXPECT_EQ(nodeFor(nodes, {"pacs", "10.0.0.9", 11112}), &nodes[2]);
    EXPECT_EQ(nodeFor(bad, {"ARCHIVE", "old-archive", 104}), &bad[1]);
    EXPECT_EQ(nodeFor(bad, {"GONE", "archive", 11112}), nullptr);
}
