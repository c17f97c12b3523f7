#include "platform/SecureBytes.h"

#include "FreedMemoryWatch.h"

#include <gtest/gtest.h>

#include <algorithm>
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

// Whatever happens to a secret's buffer, it holds what it should, and the heap gets none of its storage back with
// any part of the secret still in it (the watch looks for its second half, which also a shrink cuts off).
TEST(SecureBytes, NoFreedBlockKeepsTheSecret)
{
    const Bytes secret = {0x5E, 0xC2, 0xE7, 0x11, 0xA9, 0x3D, 0x7F, 0x02, 0xC4, 0x68, 0x9B, 0x1E, 0xF0, 0x55, 0x2A};
    const Bytes head(secret.begin(), secret.begin() + 8);
    const Bytes tail(secret.begin() + 8, secret.end());
    auto grown = [&](std::size_t size) { Bytes b = secret; b.resize(size); return b; };
    const std::tuple<const char*, std::function<void(SecureBytes&)>, Bytes> cases[] = {
        {"destroyed", [](SecureBytes&) {}, secret},
        {"cleared", [](SecureBytes& s) { s.clear(); }, {}},
        {"copied", [](SecureBytes& s) { const SecureBytes copy = s; }, secret},
        {"moved out", [](SecureBytes& s) { const SecureBytes moved = std::move(s); }, {}},
        {"grown by append", [](SecureBytes& s) { s.append(Bytes(64, 0)); }, grown(79)},
        {"grown by resize", [](SecureBytes& s) { s.resize(200); }, grown(200)},
        {"copied over", [](SecureBytes& s) { const SecureBytes other{1, 2}; s = other; }, {1, 2}},
        {"moved over", [](SecureBytes& s) { s = SecureBytes(Bytes(40, 1)); }, Bytes(40, 1)},
        {"shrunk", [](SecureBytes& s) { s.resize(8); }, head},
    };
    for (const auto& [name, use, after] : cases) {
        FreedMemoryWatch watch(tail);
        {
            SecureBytes s(secret);
            use(s);
            EXPECT_TRUE(std::ranges::equal(s.span(), after)) << name;
        }
        EXPECT_EQ(watch.sightings(), 0) << name;
    }
    // The watch does see a secret left in a plain buffer.
    FreedMemoryWatch watch(tail);
    { Bytes plain(secret); }
    EXPECT_EQ(watch.sightings(), 1);
}
