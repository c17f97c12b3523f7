// Feeds card answers to the APDU transport: identity, SELECT, NFCCTAP polling with chaining and GET RESPONSE,
// raw APDU passthrough and DESELECT all read bytes that come from a card.
//
// Input: one flag byte (bit 0 extended length; bits 1-2 the request size), then the card's answers, each a
// length byte and that many bytes. The same input, flag byte dropped, is also the raw APDU handed through.
#include "fido/PcscHelper.h"
#include "platform/CardChannel.h"
#include "platform/PcscLiteApi.h"
#include "platform/SmartCard.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <future>
#include <mutex>

namespace {

class QueuedAnswers : public CardChannel {
public:
    explicit QueuedAnswers(std::shared_ptr<std::deque<Bytes>> answers) : answers_(std::move(answers)) {}
    LONG transmit(std::span<const std::uint8_t>, Bytes& response) override
    {
        if (answers_->empty())
            return SCARD_E_NOT_TRANSACTED;
        response = std::move(answers_->front());
        answers_->pop_front();
        return response.empty() ? SCARD_E_NOT_TRANSACTED : SCARD_S_SUCCESS;
    }
    LONG reconnect() override { return SCARD_S_SUCCESS; }
    LONG beginTransaction() override { return SCARD_S_SUCCESS; }
    LONG endTransaction() override { return SCARD_S_SUCCESS; }

private:
    std::shared_ptr<std::deque<Bytes>> answers_;
};

constexpr std::size_t kRequestSizes[] = {1, 240, 300, 600};

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // The transport's log lines would drown the fuzzer's own output (which goes to stderr).
    if (!std::freopen("/dev/null", "w", stdout))
        return 0;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 1 || size > 8192)
        return 0;
    const std::uint8_t flags = data[0];
    const std::span<const std::uint8_t> rest(data + 1, size - 1);

    (void)PcscLiteApi::splitMultiString(reinterpret_cast<const char*>(rest.data()), rest.size());
    (void)PcscHelper::getStatusWord(rest);
    (void)PcscHelper::getResponseData(rest);

    auto answers = std::make_shared<std::deque<Bytes>>();
    for (std::size_t i = 0; i < rest.size() && answers->size() < 512;) {
        const std::size_t length = std::min<std::size_t>(rest[i], rest.size() - i - 1);
        const auto from = rest.begin() + static_cast<long>(i + 1);
        answers->emplace_back(from, from + static_cast<long>(length));
        i += 1 + length;
    }

    auto card = std::make_shared<SmartCard>([answers]() -> std::unique_ptr<CardChannel> {
        return std::make_unique<QueuedAnswers>(answers);
    });
    std::promise<bool> opened;
    card->beginSession([&opened](bool ok) { opened.set_value(ok); });
    if (!opened.get_future().get())
        return 0;

    PcscHelper helper(nullptr, {std::chrono::milliseconds(2000), std::chrono::milliseconds(5)});
    helper.setExtendedApdu(flags & 1);
    helper.setActiveCard(card);
    (void)helper.getAtr();
    (void)helper.sendCmdSelect();
    const Bytes request(kRequestSizes[(flags >> 1) & 3], 0x04);
    (void)helper.sendCmdCbor(request);
    (void)helper.sendCmdMsg(rest);
    (void)helper.sendCmdDeselect();
    helper.setActiveCard(nullptr);
    return 0;
}
