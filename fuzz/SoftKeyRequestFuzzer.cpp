// Feeds host bytes to the software key's parsers: the first byte picks the way in.
//   0: one CTAP request (command byte + CBOR) to the authenticator core
//   1: CTAPHID output reports (64-byte slices) through the reassembler, whole CBOR messages to the core
//   2: APDUs (each prefixed by a one-byte length) to the card front
//   3: the raw map-value locator used for authenticated parameters
#include "softkey/CtapCbor.h"
#include "softkey/CtaphidReassembler.h"
#include "softkey/NfcCardFront.h"
#include "softkey/SoftAuthenticator.h"

#include <cstddef>
#include <cstdint>
#include <span>

namespace {

SoftKeyConfig config()
{
    SoftKeyConfig c;
    c.seed = 1;
    c.credMgmtPreview = true;
    return c;
}

void prepare(SoftAuthenticator& key)
{
    key.setPin("1234");
    SoftKeyCredential cred;
    cred.rpId = "fuzz.example";
    cred.userId = {1, 2, 3};
    cred.privateKey = Bytes(32, 0x11);
    key.addCredential(cred);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 1)
        return 0;
    const std::span<const std::uint8_t> in(data + 1, size - 1);
    switch (data[0] % 4) {
    case 0: {
        SoftAuthenticator key(config());
        prepare(key);
        key.handle(in);
        break;
    }
    case 1: {
        SoftAuthenticator key(config());
        prepare(key);
        CtaphidReassembler reassembler;
        auto now = CtaphidReassembler::Clock::now();
        for (std::size_t pos = 0; pos < in.size(); pos += 64) {
            const auto slice = in.subspan(pos, std::min<std::size_t>(64, in.size() - pos));
            auto report = CtaphidReassembler::normalise(slice);
            if (!report)
                continue;
            now += std::chrono::milliseconds(100);
            if (auto event = reassembler.feed(*report, now)) {
                if (event->kind == CtaphidReassembler::Event::Kind::Message && event->cmd == 0x10)
                    key.handle(event->payload);
            }
            reassembler.tick(now);
        }
        break;
    }
    case 2: {
        SoftAuthenticator key(config());
        prepare(key);
        NfcCardFront::Options options;
        options.pollWait = std::chrono::milliseconds(50);
        NfcCardFront card(key, options);
        std::size_t pos = 0;
        while (pos < in.size()) {
            const std::size_t n = std::min<std::size_t>(in[pos], in.size() - pos - 1);
            card.handleApdu(Bytes(in.begin() + static_cast<std::ptrdiff_t>(pos + 1),
                                  in.begin() + static_cast<std::ptrdiff_t>(pos + 1 + n)));
            pos += 1 + n;
        }
        break;
    }
    default:
        for (std::int64_t key : {1, 2, 3, -1})
            CtapCbor::rawMapValue(in, key);
        break;
    }
    return 0;
}
