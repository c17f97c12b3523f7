#include "platform/SecureBytes.h"

#include "FreedMemoryWatch.h"

#include <gtest/gtest.h>

#include <functional>

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
}

// Whatever happens to a secret's buffer, the heap gets none of its storage back with the secret still in it.
TEST(SecureBytes, NoFreedBlockKeepsTheSecret)
{
    const Bytes secret = {0x5E, 0xC2, 0xE7, 0x11, 0xA9, 0x3D, 0x7F, 0x02, 0xC4, 0x68, 0x9B, 0x1E, 0xF0, 0x55, 0x2A, 0x87};
    // The secret's second half, for the shrink case: the part cut off must be wiped.
    const Bytes tail(secret.begin() + 8, secret.end());
    struct Case {
        const char* name;
        const Bytes& looked;
        std::function<void()> use;
    };
    const Case cases[] = {
        {"destroyed", secret, [&] { SecureBytes s(secret); }},
        {"cleared", secret, [&] { SecureBytes s(secret); s.clear(); }},
        {"grown by append", secret,
         [&] {
             SecureBytes s(secret);
             s.append(Bytes(64, 0));
         }},
        {"grown by resize", secret,
         [&] {
             SecureBytes s(secret);
             s.resize(200);
         }},
        {"copied over", secret,
         [&] {
             SecureBytes s(secret);
             s = SecureBytes(std::string_view("other"));
             SecureBytes t(secret);
             t = s;
         }},
        {"shrunk", tail,
         [&] {
             SecureBytes s(secret);
             s.resize(8);
         }},
    };
    for (const Case& c : cases) {
        FreedMemoryWatch watch(c.looked);
        c.use();
        EXPECT_EQ(watch.sightings(), 0) << c.name;
    }
    // The watch does see a secret left in a plain buffer.
    FreedMemoryWatch watch(secret);
    { Bytes plain(secret); }
    EXPECT_EQ(watch.sightings(), 1);
}
