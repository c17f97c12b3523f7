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
    int count = 0;
    if (auto item = cborDecode(data)) {
        if (auto v = cborUInt64Value(cborMapFind(item->get(), 3))) {
            retries.retries = *v;
            ++count;
        }
        if (auto v = cborUInt64Value(cborMapFind(item->get(), 5))) {
            retries.uvRetries = *v;
            ++count;
        }
    }
    if (count == 0)
        logLine("parseCborPinGetRetries: CBOR decode error");
    return count > 0;
}
