#include "platform/HidReportDescriptor.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    (void)hidPrimaryUsage(std::span<const std::uint8_t>(data, size));
    return 0;
}
