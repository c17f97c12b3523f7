#include "platform/SecureString.h"

#include "FreedMemoryWatch.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>

// A PIN is short: std::string would keep it inside the object, where nothing wipes it when the object is
// copied around or goes. Every SecureString keeps its text on the heap.
TEST(SecureString, ShortTextIsNeverStoredInsideTheObject)
{
    for (const char* text : {"1", "1234", "12345678901234"}) {
        SecureString pin(text);
        const auto* object = reinterpret_cast<const char*>(&pin);
        const char* bytes = pin.view().data();
        const std::less<const char*> before;
        EXPECT_TRUE(before(bytes, object) || !before(bytes, object + sizeof(pin))) << text;
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
    c.clear();
    EXPECT_TRUE(c.empty());
    EXPECT_FALSE(b == c);
}

// Whatever happens to a PIN, it reads as it should, and no freed heap block keeps any of it past its first digit.
TEST(SecureString, NoFreedBlockKeepsThePin)
{
    const std::string pin = "8675309-2468-1357";
    const std::span<const std::uint8_t> secret(reinterpret_cast<const std::uint8_t*>(pin.data()) + 1, pin.size() - 1);
    const std::tuple<const char*, std::function<void(SecureString&)>, std::string> cases[] = {
        {"destroyed", [](SecureString&) {}, pin},
        {"cleared", [](SecureString& s) { s.clear(); }, ""},
        {"copied", [](SecureString& s) { const SecureString copy = s; }, pin},
        {"moved out", [](SecureString& s) { const SecureString moved = std::move(s); }, ""},
        {"copied over", [](SecureString& s) { const SecureString other("1"); s = other; }, "1"},
        {"moved over", [](SecureString& s) { s = SecureString("1"); }, "1"},
        {"assigned to itself", [](SecureString& s) { const SecureString& same = s; s = same; }, pin},
    };
    for (const auto& [name, use, after] : cases) {
        FreedMemoryWatch watch(secret);
        {
            SecureString s(pin);
            use(s);
            EXPECT_TRUE(s.view() == after) << name;
        }
        EXPECT_EQ(watch.sightings(), 0) << name;
    }
}
