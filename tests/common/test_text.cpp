#include "common/text.h"

#include "support/qt_printers.h"

#include <gtest/gtest.h>

using namespace skiascan;

TEST(PersonName, ReadsLastCommaFirstMiddleWithPrefixAndSuffixWhereTheyBelong)
{
    EXPECT_EQ(personName(QString::fromUtf8("Nguyễn^Thị^B")), QString::fromUtf8("Nguyễn, Thị B"));
    EXPECT_EQ(personName("O'Brien^Siobhan"), "O'Brien, Siobhan");
    EXPECT_EQ(personName("Smith^John^Q^Dr^Jr"), "Smith, Dr John Q, Jr");
    EXPECT_EQ(personName("Smith"), "Smith");
    EXPECT_EQ(personName("Smith^"), "Smith");
    EXPECT_EQ(personName("^John"), "John");
    EXPECT_EQ(personName("Smith^^Q"), "Smith, Q");
    EXPECT_EQ(personName(" van Dyke ^ Anna "), "van Dyke, Anna");
    EXPECT_EQ(personName("^^^^Jr"), "Jr");
    EXPECT_EQ(personName(""), "");
    EXPECT_EQ(personName(QString::fromUtf8("Yamada^Tarou=山田^太郎")), "Yamada, Tarou");
    EXPECT_EQ(personName(QString::fromUtf8("=山田^太郎")), QString::fromUtf8("山田, 太郎"));
}
