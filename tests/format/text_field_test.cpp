// Fixed-width text fields: padding, cutting, the "junk" switch and the name
// prefix of the diagnostic files.
#include <gtest/gtest.h>

#include "format/text_field.h"

using namespace quillet;

TEST(TextField, ShortValuesArePaddedAndLongOnesCut) {
    text30 t("abc");
    EXPECT_EQ(t.view().size(), 30u);
    EXPECT_EQ(t.view(), "abc" + std::string(27, ' '));
    EXPECT_EQ(t.trimmed(), "abc");
    text30 u(std::string(40, 'y'));
    EXPECT_EQ(u.view(), std::string(30, 'y'));
    EXPECT_EQ(text30().trimmed(), "");
}

TEST(TextField, JunkSwitchesAFileOffOnlyWhenFollowedByBlanks) {
    EXPECT_TRUE(text80("junk").is_junk());
    EXPECT_FALSE(text80("junk1").is_junk());
    EXPECT_FALSE(text80(" junk").is_junk());
    EXPECT_FALSE(text80("JUNK").is_junk());
    EXPECT_FALSE(text80("").is_junk());
}

TEST(TextField, PrefixStopsAtTheFirstBlankOrTheLimit) {
    EXPECT_EQ(text80("run1 rest").prefix(60), "run1");
    EXPECT_EQ(text80(std::string(80, 'a')).prefix(60), std::string(60, 'a'));
    EXPECT_EQ(text80("").prefix(60), "");
    EXPECT_EQ(text80("abcdef").prefix(3), "abc");
}
