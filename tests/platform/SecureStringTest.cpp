#include "platform/SecureString.h"

#include <gtest/gtest.h>

#include <cstdint>

// A PIN is short: std::string would keep it inside the object, where nothing wipes it when the object is
// copied around or goes. Every SecureString keeps its text on the heap.
TEST(SecureString, ShortTextIsNeverStoredInsideTheObject)
{
    for (const char* text : {"1", "1234", "12345678901234"}) {
        SecureString pin(text);
        const auto* object = reinterpret_cast<const char*>(&pin);
        const char* bytes = pin.view().data();
        EXPECT_TRUE(bytes < object || bytes >= object + sizeof(pin)) << text;
    }
}

TEST(SecureString, CopiesMovesAndAssignmentsKeepTheText)
{
    SecureString a("2468");
    SecureString b = a;
    SecureString c = std::move(a);
    EXPECT_TRUE(a.empty()); // NOLINT(bugprone-use-after-move): a moved-from string is defined to be empty
    EXPECT_EQ(b, c);
    EXPECT_TRUE(c == "2468");
    c = SecureString(std::string("13579"));
    EXPECT_EQ(c.view(), "13579");
    c = c;
    EXPECT_EQ(c.view(), "13579");
    c.clear();
    EXPECT_TRUE(c.empty());
    EXPECT_FALSE(b == c);
}
