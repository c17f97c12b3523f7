#include "platform/HidReportDescriptor.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

TEST(HidReportDescriptor, PrimaryUsageIsThatOfTheFirstTopLevelCollectionAndMalformedDescriptorsGiveNothing)
{
    const std::string fido = "06D0F1 0901 A101 0920 1500 26FF00 7508 9540 8102 0921 1500 26FF00 7508 9540 9102 C0";
    const std::string keyboard = "0501 0906 A101 0507 19E0 29E7 1500 2501 7501 9508 8102 C0";
    const std::pair<std::string, std::optional<HidUsage>> cases[] = {
        {fido, HidUsage{0xF1D0, 1}},
        {keyboard + fido, HidUsage{0x0001, 6}},
        {"0501 0B0100D0F1 A101 C0", HidUsage{0xF1D0, 1}},            // extended usage carries its own page
        {"07D0F10000 0901 A101 C0", HidUsage{0xF1D0, 1}},            // four-byte usage page
        {"FE03F0 A1A1A1 06D0F1 0901 A101 C0", HidUsage{0xF1D0, 1}},  // long item skipped whole
        {"06D0F1 A4 0501 B4 0901 A101 C0", HidUsage{0xF1D0, 1}},     // pop restores the pushed page
        {"06D0F1 0905 8102 0901 0902 A101 C0", HidUsage{0xF1D0, 1}}, // earlier main item's usage forgotten
        {"", std::nullopt},
        {"06D0", std::nullopt},                                         // item cut short
        {"06D0F1 0901", std::nullopt},                                  // no collection
        {"06D0F1 A101 C0", std::nullopt},                               // collection without usage
        {"C0 06D0F1 0901 A101", std::nullopt},                          // end before any collection
        {"FE05F0 0102", std::nullopt},                                  // long item cut short
        {"FE", std::nullopt},                                           // long item header cut short
        {"B4 0901 A101", std::nullopt},                                 // pop without push
        {"A4A4A4A4A4A4A4A4A4A4A4A4A4A4A4A4A4 0901 A101", std::nullopt}, // 17 pushes, deeper than the stack
    };
    for (const auto& [hex, usage] : cases) {
        // Hex digits to bytes, spaces left out (this layer's tests do without the byte helpers above it).
        std::vector<std::uint8_t> bytes;
        for (std::size_t i = 0; i < hex.size(); i += hex[i] == ' ' ? 1 : 2)
            if (hex[i] != ' ')
                bytes.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
        EXPECT_EQ(hidPrimaryUsage(bytes), usage) << hex;
    }
}
