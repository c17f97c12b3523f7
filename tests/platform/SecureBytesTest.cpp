#include "platform/SecureBytes.h"

#include <gtest/gtest.h>

TEST(SecureBytes, CopyMoveResizeKeepContent)
{
    SecureBytes a{1, 2, 3};
    a.append(Bytes{4, 5});
    EXPECT_EQ(a.toBytes(), (Bytes{1, 2, 3, 4, 5}));
    a.resize(8);
    EXPECT_EQ(a.toBytes(), (Bytes{1, 2, 3, 4, 5, 0, 0, 0}));
    a.resize(2);
    EXPECT_EQ(a.toBytes(), (Bytes{1, 2}));
    SecureBytes b = a;
    SecureBytes c = std::move(a);
    EXPECT_TRUE(a.empty()); // NOLINT(bugprone-use-after-move): a moved-from buffer is defined to be empty
    EXPECT_EQ(b, c);
    c = SecureBytes(std::string_view("pin"));
    EXPECT_EQ(c.toBytes(), (Bytes{'p', 'i', 'n'}));
    c.clear();
    EXPECT_TRUE(c.empty());
}
