// Raw values off the wire (or from a caller) name a case only where one carries exactly that value: each conversion
// is tried on every byte, and a value that names a case gives that case back.
#include "ctap/CredentialManagementCommand.h"
#include "ctap/Permission.h"
#include "ctap/PinCommand.h"
#include "ctap/PinProtocol.h"
#include "fido/CtapConstants.h"

#include <gtest/gtest.h>

#include <functional>
#include <set>

TEST(CtapConstants, RawBytesThatNameNothingAreRefused)
{
    using Named = std::optional<unsigned>;
    auto named = [](auto fromRaw) {
        return std::function<Named(std::uint8_t)>([fromRaw](std::uint8_t raw) -> Named {
            const auto value = fromRaw(raw);
            return value ? Named(static_cast<unsigned>(*value)) : std::nullopt;
        });
    };
    std::set<unsigned> errors;
    for (unsigned b : {0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x0A, 0x0B, 0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16,
                       0x19, 0x21, 0x22, 0x23, 0x24, 0x25, 0x26, 0x27, 0x28, 0x2A, 0x2B, 0x2C, 0x2D, 0x2E, 0x2F, 0x30,
                       0x31, 0x32, 0x33, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3A, 0x3E, 0x7F, 0xDF, 0xE0, 0xEF, 0xF0,
                       0xFF})
        errors.insert(b);
    ASSERT_EQ(errors.size(), 49u);
    const std::tuple<const char*, std::function<Named(std::uint8_t)>, std::set<unsigned>> rows[] = {
        // KEEPALIVE 0x3B is a command, not a status; 0x86 is INIT with the initialisation-packet bit.
        {"CTAPHID", named(ctaphidFromRaw), {0x01, 0x03, 0x04, 0x06, 0x08, 0x10, 0x11, 0x3B, 0x3F}},
        {"CTAPSTATUS", named(ctapStatusFromRaw), {1, 2}},
        // 0xE5 lies between ERR_EXTENSION_FIRST and ERR_EXTENSION_LAST, which are single values, not a range.
        {"CTAPHID_ERROR_CODE", named(ctapErrorFromRaw), errors},
        {"PinProtocol", named(pinProtocolFromRaw), {0, 1, 2}},
        {"Permission", named(permissionFromRaw), {0x01, 0x02, 0x04, 0x08, 0x10, 0x20}},
        {"PinCommand::SubCommand", named(PinCommand::subCommandFromRaw), {1, 2, 3, 4, 5, 6, 7, 9}},
        {"CredentialManagementCommand::SubCommand", named(CredentialManagementCommand::subCommandFromRaw),
         {1, 2, 3, 4, 5, 6, 7}},
    };
    for (const auto& [name, fromRaw, values] : rows) {
        for (unsigned raw = 0; raw < 256; ++raw) {
            const Named value = fromRaw(static_cast<std::uint8_t>(raw));
            EXPECT_EQ(value, values.contains(raw) ? Named(raw) : std::nullopt) << name << " from " << raw;
        }
    }
    // PinProtocol's raw type is 64 bits wide: a value that only its low byte would make 1 is nothing.
    EXPECT_FALSE(pinProtocolFromRaw(0x101));
    EXPECT_EQ(ctapErrorName(0x3B), "UNKNOWN_0x3B"); // still readable in a log line
}
