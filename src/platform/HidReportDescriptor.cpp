#include "platform/HidReportDescriptor.h"

#include <array>
#include <cstddef>

namespace {

constexpr std::uint8_t kLongItemPrefix = 0xFE;
constexpr int kTypeMain = 0;
constexpr int kTypeGlobal = 1;
constexpr int kTypeLocal = 2;
constexpr std::uint8_t kMainCollection = 0xA;
constexpr std::uint8_t kMainEndCollection = 0xC;
constexpr std::uint8_t kGlobalUsagePage = 0x0;
constexpr std::uint8_t kGlobalPush = 0xA;
constexpr std::uint8_t kGlobalPop = 0xB;
constexpr std::uint8_t kLocalUsage = 0x0;
// Deeper global stacks than this are not used by real devices; a descriptor that needs more is refused.
constexpr std::size_t kMaxPushDepth = 16;

std::uint32_t littleEndian(std::span<const std::uint8_t> data)
{
    std::uint32_t value = 0;
    for (std::size_t i = data.size(); i > 0; --i)
        value = (value << 8) | data[i - 1];
    return value;
}

} // namespace

std::optional<HidUsage> hidPrimaryUsage(std::span<const std::uint8_t> descriptor)
{
    std::uint32_t usagePage = 0;
    std::array<std::uint32_t, kMaxPushDepth> pushed{};
    std::size_t pushDepth = 0;
    // Only the first Usage of the pending local items names the collection that follows.
    bool haveUsage = false;
    std::uint32_t firstUsage = 0;
    std::size_t firstUsageSize = 0;

    std::size_t pos = 0;
    while (pos < descriptor.size()) {
        const std::uint8_t prefix = descriptor[pos];
        if (prefix == kLongItemPrefix) {
            // Long item: prefix, data size, tag, data. No long item tags are defined, so it is only skipped.
            if (descriptor.size() - pos < 3)
                return std::nullopt;
            const std::size_t size = descriptor[pos + 1];
            if (descriptor.size() - pos - 3 < size)
                return std::nullopt;
            pos += 3 + size;
            continue;
        }
        const std::size_t sizeCode = prefix & 0x3u;
        const std::size_t size = sizeCode == 3 ? 4 : sizeCode;
        if (descriptor.size() - pos - 1 < size)
            return std::nullopt;
        const auto data = descriptor.subspan(pos + 1, size);
        const int type = (prefix >> 2) & 0x3;
        const std::uint8_t tag = static_cast<std::uint8_t>(prefix >> 4);
        pos += 1 + size;

        if (type == kTypeGlobal) {
            if (tag == kGlobalUsagePage) {
                usagePage = littleEndian(data);
            } else if (tag == kGlobalPush) {
                if (pushDepth == pushed.size())
                    return std::nullopt;
                pushed[pushDepth++] = usagePage;
            } else if (tag == kGlobalPop) {
                if (pushDepth == 0)
                    return std::nullopt;
                usagePage = pushed[--pushDepth];
            }
        } else if (type == kTypeLocal) {
            if (tag == kLocalUsage && !haveUsage) {
                haveUsage = true;
                firstUsage = littleEndian(data);
                firstUsageSize = size;
            }
        } else if (type == kTypeMain) {
            // Nothing before the first collection is nested, so the first collection met is top-level.
            if (tag == kMainCollection) {
                if (!haveUsage)
                    return std::nullopt;
                // A four-byte Usage carries its own page in the high half (an extended usage).
                const std::uint32_t page = firstUsageSize == 4 ? (firstUsage >> 16) : usagePage;
                return HidUsage{static_cast<std::uint16_t>(page & 0xFFFFu),
                                static_cast<std::uint16_t>(firstUsage & 0xFFFFu)};
            }
            if (tag == kMainEndCollection)
                return std::nullopt;
            // Local items apply to the next main item only.
            haveUsage = false;
        }
    }
    return std::nullopt;
}
