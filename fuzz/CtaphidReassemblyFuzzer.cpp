#include "fido/HidHelper.h"

#include <array>
#include <cstddef>
#include <cstdint>

// Input: one byte choosing the awaited command, four bytes of awaited channel, then reports, each as one length
// byte followed by that many bytes (the last report takes what is left). A finished message starts the next.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static constexpr std::array<CTAPHID, 5> kCommands = {CTAPHID::CBOR, CTAPHID::INIT, CTAPHID::PING, CTAPHID::MSG,
                                                          CTAPHID::WINK};
    if (size < 5)
        return 0;
    const CTAPHID cmd = kCommands[data[0] % kCommands.size()];
    const std::uint32_t cid = (std::uint32_t{data[1]} << 24) | (std::uint32_t{data[2]} << 16) |
                              (std::uint32_t{data[3]} << 8) | data[4];
    HidHelper::ReceiveState state{};
    HidHelper::ReceiveVariables rv;
    HidHelper::prepareReceive(state, rv, cid);

    std::size_t pos = 5;
    while (pos < size) {
        std::size_t length = data[pos++];
        if (length > size - pos)
            length = size - pos;
        (void)HidHelper::ReceiveResponse(state, rv, cmd, std::span<const std::uint8_t>(data + pos, length));
        pos += length;
        // The gathered and the expected bytes always add up to the buffer, which never outgrows one message.
        if (rv.count < 0 || rv.remain < 0 || static_cast<std::size_t>(rv.count + rv.remain) != rv.bytes.size() ||
            rv.bytes.size() > static_cast<std::size_t>(HidHelper::kMaxMessageLength))
            __builtin_trap();
        if (state == HidHelper::ReceiveState::done)
            HidHelper::prepareReceive(state, rv, cid);
    }
    return 0;
}
