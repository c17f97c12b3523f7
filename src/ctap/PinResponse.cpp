#include "ctap/PinResponse.h"

#include "platform/Log.h"

std::pair<KeyAgreement, bool> PinResponse::parseCborPinGetKeyAgreement(std::span<const std::uint8_t> data)
{
    KeyAgreement key;
    int count = 0;
    if (auto item = cborDecode(data))
        count = key.readCbor(cborMapFind(item->get(), 1));
    const bool ok = count == 5;
    if (!ok)
        logLine("parseCborPinGetKeyAgreement: CBOR decode error");
    return {std::move(key), ok};
}

std::pair<Bytes, bool> PinResponse::parseCborPinGetPinToken(std::span<const std::uint8_t> data)
{
    if (auto item = cborDecode(data))
        if (auto token = cborBytesValue(cborMapFind(item->get(), 2)))
            return {std::move(*token), true};
    logLine("parseCborPinGetPinToken: CBOR decode error");
    return {Bytes{}, false};
}

bool PinResponse::parseCborPinGetRetries(std::span<const std::uint8_t> data, PinRetries& retries)
{
    bool ok = false;
    if (auto item = cborDecode(data)) {
        const cbor_item_t* pin = cborMapFind(item->get(), 3);
        const cbor_item_t* uv = cborMapFind(item->get(), 5);
        auto pinCount = cborUInt64Value(pin);
        auto uvCount = cborUInt64Value(uv);
        // A count of the wrong kind (a negative one, say) is no count: never read it as 0 retries left.
        ok = (pin || uv) && (!pin || pinCount) && (!uv || uvCount);
        if (ok) {
            retries.retries = pinCount.value_or(retries.retries);
            retries.uvRetries = uvCount.value_or(retries.uvRetries);
        }
    }
    if (!ok)
        logLine("parseCborPinGetRetries: CBOR decode error");
    return ok;
}
