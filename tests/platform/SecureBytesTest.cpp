#include "platform/SecureBytes.h"

#include "FreedMemoryWatch.h"

#include <gtest/gtest.h>

#include <functional>

TEST(SecureBytes, GrowingShrinkingCopyingAndMovingKeepTheContent)
{
    SecureBytes a{1, 2, 3};
    a.append(Bytes{4, 5});
    a.resize(7);
    EXPECT_EQ(a.toBytes(), (Bytes{1, 2, 3, 4, 5, 0, 0}));
    a.resize(2);
    SecureBytes b = a;
    SecureBytes c = std::move(a);
    EXPECT_TRUE(a.empty()); // NOLINT(bugprone-use-after-move): a moved-from buffer is defined to be empty
    EXPECT_EQ(b.toBytes(), (Bytes{1, 2}));
    EXPECT_EQ(b, c);
}

// Whatever happens to a secret's buffer, the heap gets none of its storage back with the secret still in it.
TEST(SecureBytes, NoFreedBlockKeepsTheSecret)
{
    const Bytes secret = {0x5E, 0xC2, 0xE7, 0x11, 0xA9, 0x3D, 0x7F, 0x02, 0xC4, 0x68, 0x9B, 0x1E, 0xF0, 0x55, 0x2A};
    const Bytes tail(secret.begin() + 8, secret.end()); // what a shrink cuts off
    const std::tuple<const char*, const Bytes&, std::function<void(SecureBytes&)>> cases[] = {
        {"destroyed", secret, [](SecureBytes&) {}},
        {"cleared", secret, [](SecureBytes& s) { s.clear(); }},
        {"grown by append", secret, [](SecureBytes& s) { s.append(Bytes(64, 0)); }},
        {"grown by resize", secret, [](SecureBytes& s) { s.resize(200); }},
        {"copied over", secret, [](SecureBytes& s) { const SecureBytes other{1, 2}; s = other; }},
        {"moved over", secret, [](SecureBytes& s) { s = SecureBytes(Bytes(40, 1)); }},
        {"shrunk", tail, [](SecureBytes& s) { s.resize(8); }},
    };
    for (const auto& [name, watched, use] : cases) {
        FreedMemoryWatch watch(watched);
        {
            SecureBytes s(secret);
            use(s);
        }
        EXPECT_EQ(watch.sightings(), 0) << name;
    }
    // The watch does see a secret left in a plain buffer.
    FreedMemoryWatch watch(secret);
    { Bytes plain(secret); }
    EXPECT_EQ(watch.sightings(), 1);
}
