#include "platform/HidReportDescriptor.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Hex text with optional spaces to bytes (this layer's tests do without the byte helpers above it).
std::vector<std::uint8_t> H(const std::string& hex)
{
    std::string digits;
    for (char c : hex)
        if (c != ' ')
            digits += c;
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i + 1 < digits.size(); i += 2)
        out.push_back(static_cast<std::uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    return out;
}

// A FIDO authenticator's descriptor: 64-byte input and output reports on usage page 0xF1D0, usage 1.
const char* kFido = "06D0F1 0901 A101 0920 1500 26FF00 7508 9540 8102 0921 1500 26FF00 7508 9540 9102 C0";
// A boot keyboard (page 1, usage 6), cut after its first items.
const char* kKeyboard = "0501 0906 A101 0507 19E0 29E7 1500 2501 7501 9508 8102 C0";

} // namespace

TEST(HidReportDescriptor, PrimaryUsageOfFirstTopLevelCollection)
{
    EXPECT_EQ(hidPrimaryUsage(H(kFido)), (HidUsage{0xF1D0, 1}));
    EXPECT_EQ(hidPrimaryUsage(H(kKeyboard)), (HidUsage{0x0001, 6}));
    // Two collections: the first one counts.
    EXPECT_EQ(hidPrimaryUsage(H(std::string(kKeyboard) + kFido)), (HidUsage{0x0001, 6}));
}

TEST(HidReportDescriptor, ItemFormsAreWalkedCorrectly)
{
    // Extended (four-byte) usage carries its page; the global page is not used for it.
    EXPECT_EQ(hidPrimaryUsage(H("0501 0B0100D0F1 A101 C0")), (HidUsage{0xF1D0, 1}));
    // A four-byte usage page item.
    EXPECT_EQ(hidPrimaryUsage(H("07D0F10000 0901 A101 C0")), (HidUsage{0xF1D0, 1}));
    // Long items are skipped whole, whatever their data looks like.
    EXPECT_EQ(hidPrimaryUsage(H("FE03F0 A1A1A1 06D0F1 0901 A101 C0")), (HidUsage{0xF1D0, 1}));
    // Push and pop restore the usage page.
    EXPECT_EQ(hidPrimaryUsage(H("06D0F1 A4 0501 B4 0901 A101 C0")), (HidUsage{0xF1D0, 1}));
    // Only the first usage before the collection names it; usages of earlier main items are forgotten.
    EXPECT_EQ(hidPrimaryUsage(H("06D0F1 0905 8102 0901 0902 A101 C0")), (HidUsage{0xF1D0, 1}));
}

TEST(HidReportDescriptor, MalformedDescriptorsGiveNothing)
{
    for (const char* hex : {
             "",                    // empty
             "06D0",                // item cut short
             "06D0F1 0901",         // no collection
             "06D0F1 A101 C0",      // collection without usage
             "C0 06D0F1 0901 A101", // end before any collection
             "FE05F0 0102",         // long item cut short
             "FE",                  // long item header cut short
             "B4 0901 A101",        // pop without push
             "0B0100D0",            // four-byte item cut short
         })
        EXPECT_FALSE(hidPrimaryUsage(H(hex))) << hex;
    EXPECT_FALSE(hidPrimaryUsage(H("A4A4A4A4A4A4A4A4A4A4A4A4A4A4A4A4A4 0901 A101"))) << "17 pushes";
}
