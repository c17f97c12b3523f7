#include "fido/PcscHelper.h"

#include "platform/Log.h"

#include "fido/Utils.h"

#include <algorithm>
#include <cstdio>

namespace {

constexpr std::size_t kChunk = 240;
constexpr std::size_t kMaxExtendedData = 65535;
// A card that keeps announcing more bytes is cut off here instead of being followed for ever.
constexpr int kMaxGetResponseRounds = 64;
constexpr std::size_t kMaxJoinedResponse = 64 * 1024;

constexpr std::uint8_t kGetData[] = {0xFF, 0xCA, 0x01, 0x00, 0x00};
constexpr std::uint8_t kVendorIdentity[] = {0x80, 0x40, 0x00, 0x00, 0x04, 0x14, 0x01, 0x00, 0x00};
constexpr std::string_view kVendorModelPrefix = "KWO02";
constexpr std::string_view kVendorCardIdentity = "0E783381024A4F56204B574F3032";

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool isValidUtf8(std::span<const std::uint8_t> text)
{
    std::size_t i = 0;
    while (i < text.size()) {
        const std::uint8_t lead = text[i];
        std::size_t extra = 0;
        std::uint32_t code = 0;
        std::uint32_t minimum = 0;
        if (lead < 0x80) {
            ++i;
            continue;
        } else if ((lead & 0xE0) == 0xC0) {
            extra = 1, code = lead & 0x1Fu, minimum = 0x80;
        } else if ((lead & 0xF0) == 0xE0) {
            extra = 2, code = lead & 0x0Fu, minimum = 0x800;
        } else if ((lead & 0xF8) == 0xF0) {
            extra = 3, code = lead & 0x07u, minimum = 0x10000;
        } else {
            return false;
        }
        if (text.size() - i <= extra)
            return false;
        for (std::size_t k = 1; k <= extra; ++k) {
            const std::uint8_t next = text[i + k];
            if ((next & 0xC0) != 0x80)
                return false;
            code = (code << 6) | (next & 0x3Fu);
        }
        if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
            return false;
        i += extra + 1;
    }
    return true;
}

bool equals(std::span<const std::uint8_t> bytes, std::string_view text)
{
    return bytes.size() == text.size() &&
           std::equal(bytes.begin(), bytes.end(), text.begin(),
                      [](std::uint8_t b, char c) { return b == static_cast<std::uint8_t>(c); });
}

bool statusWordIs(std::span<const std::uint8_t> response, const std::array<std::uint8_t, 2>& sw)
{
    return response.size() >= 2 && response[response.size() - 2] == sw[0] && response[response.size() - 1] == sw[1];
}

} // namespace

PcscHelper::PcscHelper(WaitUserInputAction waitUserInputAction) : PcscHelper(std::move(waitUserInputAction), Timing{})
{
}

PcscHelper::PcscHelper(WaitUserInputAction waitUserInputAction, Timing timing)
    : timing_(timing), waitUserInputAction_(std::move(waitUserInputAction))
{
}

std::optional<std::stop_token> PcscHelper::beginRequest(bool ctap)
{
    std::lock_guard lock(mutex_);
    if (stopped_)
        return std::nullopt;
    // The operation was cancelled before this request began: the card is never asked to act for it. Checked under
    // the guard a cancel takes, so a cancel that comes after this finds the request in progress.
    if (ctap && operationCancel_.stop_requested())
        return std::nullopt;
    request_ = std::stop_source();
    return request_.get_token();
}

bool PcscHelper::cancel() const
{
    std::lock_guard lock(mutex_);
    return stopped_ || request_.stop_requested();
}

void PcscHelper::setCancel(bool cancelled)
{
    if (!cancelled)
        return;
    std::lock_guard lock(mutex_);
    request_.request_stop();
}

void PcscHelper::cancelTouchWait()
{
    std::lock_guard lock(mutex_);
    if (waitUserInput_)
        request_.request_stop();
}

void PcscHelper::setApduHook(ApduHook hook)
{
    std::lock_guard lock(mutex_);
    apduHook_ = std::move(hook);
}

void PcscHelper::stop()
{
    std::lock_guard lock(mutex_);
    stopped_ = true;
    request_.request_stop();
}

bool PcscHelper::waitUserInput() const
{
    std::lock_guard lock(mutex_);
    return waitUserInput_;
}

void PcscHelper::setWaitUserInput(bool waiting)
{
    WaitUserInputAction action;
    {
        std::lock_guard lock(mutex_);
        if (waitUserInput_ == waiting)
            return;
        waitUserInput_ = waiting;
        action = waitUserInputAction_;
    }
    if (action)
        action(waiting);
}

PcscHelper::WaitUserInputAction PcscHelper::waitUserInputAction() const
{
    std::lock_guard lock(mutex_);
    return waitUserInputAction_;
}

void PcscHelper::setWaitUserInputAction(WaitUserInputAction action)
{
    std::lock_guard lock(mutex_);
    waitUserInputAction_ = std::move(action);
}

std::shared_ptr<SmartCard> PcscHelper::activeCard() const
{
    std::lock_guard lock(mutex_);
    return activeCard_;
}

IOReturn PcscHelper::setActiveCard(std::shared_ptr<SmartCard> card, std::stop_token cancel)
{
    std::shared_ptr<SmartCard> previous;
    {
        std::lock_guard lock(mutex_);
        previous = std::exchange(activeCard_, nullptr);
        operationCancel_ = card ? cancel : std::stop_token{};
    }
    if (previous)
        previous->endTransaction();
    if (!card)
        return kIOReturnSuccess;
    const auto request = beginRequest();
    if (!request)
        return kIOReturnAborted;
    // The wait for another program to let the card go ends as soon as the operation is cancelled.
    const std::stop_callback cancelWait(cancel, [this] { setCancel(true); });
    if (cancel.stop_requested())
        return kIOReturnAborted;
    const IOReturn status = card->beginTransaction(timing_.transmitTimeout, *request);
    if (status == kIOReturnSuccess) {
        std::lock_guard lock(mutex_);
        activeCard_ = std::move(card);
    }
    return status;
}

bool PcscHelper::isCardPresent() const { return activeCard() != nullptr; }

Bytes PcscHelper::getStatusWord(std::span<const std::uint8_t> response)
{
    if (response.size() < 2)
        return {0x00, 0x00};
    return Bytes(response.end() - 2, response.end());
}

Bytes PcscHelper::getResponseData(std::span<const std::uint8_t> response)
{
    if (response.size() < 2)
        return {};
    return Bytes(response.begin(), response.end() - 2);
}

PcscHelper::Response PcscHelper::transmit(std::span<const std::uint8_t> apdu)
{
    const auto request = beginRequest();
    return request ? transmit(apdu, *request) : Response{{}, kIOReturnAborted};
}

PcscHelper::Response PcscHelper::transmit(std::span<const std::uint8_t> apdu, const std::stop_token& request,
                                          bool* handedOver)
{
    if (handedOver)
        *handedOver = false;
    std::shared_ptr<SmartCard> card;
    ApduHook hook;
    {
        std::lock_guard lock(mutex_);
        card = activeCard_;
        hook = apduHook_;
    }
    if (!card)
        return {{}, kIOReturnNoDevice};
    if (hook)
        hook(apdu);
    return card->transmit(apdu, timing_.transmitTimeout, request, handedOver);
}

PcscHelper::Response PcscHelper::sendApdu(std::span<const std::uint8_t> header, std::span<const std::uint8_t> data)
{
    const auto request = beginRequest();
    return request ? sendApdu(header, data, *request) : Response{{}, kIOReturnAborted};
}

PcscHelper::Response PcscHelper::sendApdu(std::span<const std::uint8_t> header, std::span<const std::uint8_t> data,
                                          const std::stop_token& request, bool* handedOver)
{
    if (handedOver)
        *handedOver = false;
    if (header.size() != 4)
        return {{}, kIOReturnInvalid};
    if (extendedApdu_) {
        if (data.size() > kMaxExtendedData)
            return {{}, kIOReturnOverrun};
        Bytes apdu(header.begin(), header.end());
        apdu.push_back(0x00);
        if (!data.empty()) {
            const Bytes length = toBytes(static_cast<std::uint16_t>(data.size()), CFByteOrderBigEndian);
            apdu.insert(apdu.end(), length.begin(), length.end());
            apdu.insert(apdu.end(), data.begin(), data.end());
        }
        apdu.push_back(0x00);
        apdu.push_back(0x00);
        return transmit(apdu, request, handedOver);
    }

    std::span<const std::uint8_t> rest = data;
    while (rest.size() > kChunk) {
        Bytes piece(header.begin(), header.end());
        piece[0] |= 0x10;
        piece.push_back(static_cast<std::uint8_t>(kChunk));
        piece.insert(piece.end(), rest.begin(), rest.begin() + kChunk);
        Response answer = transmit(piece, request);
        rest = rest.subspan(kChunk);
        if (!statusWordIs(answer.first, SW_SUCCESS))
            return answer;
    }
    Bytes last(header.begin(), header.end());
    if (!rest.empty()) {
        last.push_back(static_cast<std::uint8_t>(rest.size()));
        last.insert(last.end(), rest.begin(), rest.end());
    }
    last.push_back(0x00);
    Response answer = transmit(last, request, handedOver);

    for (int round = 0; answer.first.size() >= 2 && answer.first[answer.first.size() - 2] == SW1_MORE_DATA; ++round) {
        if (round >= kMaxGetResponseRounds)
            return {{}, kIOReturnOverrun};
        const std::uint8_t announced = answer.first.back();
        const std::uint8_t getResponse[] = {0x00, 0xC0, 0x00, 0x00, announced};
        Response more = transmit(getResponse, request);
        if (more.second != kIOReturnSuccess)
            return {{}, more.second};
        answer.first.resize(answer.first.size() - 2);
        if (answer.first.size() + more.first.size() > kMaxJoinedResponse + 2)
            return {{}, kIOReturnOverrun};
        answer.first.insert(answer.first.end(), more.first.begin(), more.first.end());
        answer.second = more.second;
    }
    return answer;
}

std::string PcscHelper::getAtr()
{
    const auto request = beginRequest();
    if (!request)
        return {};
    std::string identity;
    const Response historical = transmit(kGetData, *request);
    if (historical.second == kIOReturnSuccess)
        identity = bytesToHexString(getResponseData(historical.first));
    if (identity.empty()) {
        const Response vendor = transmit(kVendorIdentity, *request);
        const Bytes text = getResponseData(vendor.first);
        if (isValidUtf8(text) && text.size() >= kVendorModelPrefix.size() &&
            equals(std::span(text).first(kVendorModelPrefix.size()), kVendorModelPrefix))
            identity = kVendorCardIdentity;
    }
    return identity;
}

IOReturn PcscHelper::sendCmdSelect()
{
    const Response answer = sendApdu(NFCCTAP_SELECT, AID_FIDO);
    if (answer.second != kIOReturnSuccess)
        return kIOReturnError;
    const Bytes version = getResponseData(answer.first);
    if (statusWordIs(answer.first, SW_SUCCESS) && (equals(version, "U2F_V2") || equals(version, "FIDO_2_0")))
        return kIOReturnSuccess;
    logLine("sendCmdSelect error: " + bytesToHexString(answer.first));
    return kIOReturnError;
}

IOReturn PcscHelper::sendCmdDeselect()
{
    const Response answer = transmit(NFCCTAP_DESELECT);
    if (answer.second != kIOReturnSuccess)
        return kIOReturnError;
    return statusWordIs(answer.first, SW_SUCCESS) ? kIOReturnSuccess : kIOReturnInvalid;
}

PcscHelper::Response PcscHelper::sendCmdCbor(std::span<const std::uint8_t> request)
{
    handedOver_ = false;
    const auto token = beginRequest(true);
    if (!token)
        return {{}, kIOReturnAborted};
    std::stop_token operation;
    {
        std::lock_guard lock(mutex_);
        operation = operationCancel_;
    }
    // A cancel of the bound operation ends this request as a CANCEL does; a later one is refused as it begins.
    const std::stop_callback cancelWithOperation(operation, [this] { setCancel(true); });
    bool handedOver = false;
    Response answer = sendApdu(NFCCTAP_MSG, request, *token, &handedOver);
    handedOver_ = handedOver;

    // Polling for a touch has no end of its own (cancel, stop or the card leaving ends it); a card that only
    // keeps saying it is busy is given up after processingTimeout.
    auto busySince = std::chrono::steady_clock::now();
    bool busyTooLong = false;
    while (!token->stop_requested() && statusWordIs(answer.first, SW_UPDATE)) {
        if (answer.first[0] == rawValue(CTAPSTATUS::UPNEEDED)) {
            setWaitUserInput(true);
            logLine("sendCmdCbor: Waiting for user response");
            busySince = std::chrono::steady_clock::now();
        } else if (std::chrono::steady_clock::now() - busySince >= timing_.processingTimeout) {
            busyTooLong = true;
            break;
        }
        answer = sendApdu(NFCCTAP_GETRESPONSE, {}, *token);
    }

    Bytes data = getResponseData(answer.first);
    IOReturn status = answer.second;
    if (token->stop_requested()) {
        status = kIOReturnAborted;
    } else if (busyTooLong) {
        status = kIOReturnTimeout;
        data.clear();
    } else if (!statusWordIs(answer.first, SW_SUCCESS)) {
        status = kIOReturnError;
    }
    setWaitUserInput(false);
    return {std::move(data), status};
}

bool PcscHelper::requestHandedOver() const { return handedOver_.load(); }

PcscHelper::Response PcscHelper::sendCmdMsg(std::span<const std::uint8_t> apdu)
{
    if (apdu.size() < 4)
        return {{}, kIOReturnInvalid};
    std::span<const std::uint8_t> data;
    if (apdu.size() > 7 && apdu[4] == 0x00) {
        const std::size_t lc = static_cast<std::size_t>(apdu[5]) << 8 | apdu[6];
        data = apdu.subspan(7, std::min(lc, apdu.size() - 7));
    } else if (apdu.size() > 5) {
        const std::size_t lc = apdu[4];
        data = apdu.subspan(5, std::min(lc, apdu.size() - 5));
    }
    Response answer = sendApdu(apdu.first(4), data);
    if (answer.second != kIOReturnSuccess)
        return {{}, answer.second};
    // Whatever the status word, the caller gets it: an error answer is not an empty success.
    return answer;
}

PcscHelper::Response PcscHelper::sendCommand(CTAPHID command, std::span<const std::uint8_t> data)
{
    if (command != CTAPHID::CANCEL)
        handedOver_ = false;
    switch (command) {
    case CTAPHID::MSG: return sendCmdMsg(data);
    case CTAPHID::CBOR: return sendCmdCbor(data);
    case CTAPHID::CANCEL: setCancel(true); return {{}, kIOReturnSuccess};
    case CTAPHID::INIT:
    case CTAPHID::PING:
    case CTAPHID::WINK:
    case CTAPHID::LOCK:
    case CTAPHID::KEEPALIVE:
    case CTAPHID::ERROR: break;
    }
    return {{}, kIOReturnUnsupported};
}

bool PcscHelper::isValidReaderName(std::string_view name) { return !name.empty(); }
