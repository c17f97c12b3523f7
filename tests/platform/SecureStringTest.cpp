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
    c = SecureString(std::string("13579"));
    c = c;
    EXPECT_EQ(c.view(), "13579");
    c.clear();
    EXPECT_TRUE(c.empty());
}

TEST(SecureString, NoFreedBlockKeepsThePin)
{
    const std::string pin = "8675309-2468-1357";
    const std::span<const std::uint8_t> secret(reinterpret_cast<const std::uint8_t*>(pin.data()), pin.size());
    const std::pair<const char*, std::function<void(SecureString&)>> cases[] = {
        {"destroyed", [](SecureString&) {}},
        {"cleared", [](SecureString& s) { s.clear(); }},
        {"copied over", [](SecureString& s) { const SecureString other("1"); s = other; }},
        {"moved over", [](SecureString& s) { s = SecureString("1"); }},
    };
    for (const auto& [name, use] : cases) {
        FreedMemoryWatch watch(secret);
        {
            SecureString s(pin);
            use(s);
        }
        EXPECT_EQ(watch.sightings(), 0) << name;
    }
}
