#pragma once

// The CTAP 2 client bound to a software key over one transport. The same test sources build once per
// transport: KEY_TRANSPORT_CARD selects the card on the first vpcd reader (through pcscd), otherwise the USB
// key on a socket pair.
#include "ctap/Ctap2.h"
#include "fido/Cbor.h"
#include "support/LogCapture.h"
#include "support/SoftKeyLink.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>

#ifdef KEY_TRANSPORT_CARD
inline constexpr bool kUsb = false;
#else
inline constexpr bool kUsb = true;
#endif

inline SecureBytes pin(std::string_view text) { return SecureBytes(text); }

// A key's answer: status byte OK and this CBOR.
inline Bytes ok(const Bytes& body)
{
    Bytes answer{0x00};
    answer.insert(answer.end(), body.begin(), body.end());
    return answer;
}

// The unsigned value under an integer key of a logged request's CBOR parameters.
inline std::optional<std::uint64_t> requestField(const Bytes& request, std::int64_t key)
{
    auto item = request.size() < 2 ? std::nullopt : cborDecode(std::span(request).subspan(1));
    return item ? cborUInt64Value(cborMapFind(item->get(), key)) : std::nullopt;
}

class KeyFixture : public testing::Test {
protected:
    // Makes the key, opens the link, binds the client to it and opens a channel, as every key read starts.
    void connect()
    {
        link_ = std::make_unique<SoftKeyLink>(kUsb ? SoftKeyLink::Transport::Usb : SoftKeyLink::Transport::Card);
        ASSERT_TRUE(link_->open()) << "the key must be reachable (is pcscd running with vpcd?) "
                                   << testing::PrintToString(log_.lines());
        ctap_.setHidHelper(link_->hidHelper());
        ctap_.setPcscHelper(link_->pcscHelper());
        ASSERT_EQ(ctap_.sendCmdInit().second, kIOReturnSuccess);
    }

    SoftKeyLink& link() { return *link_; }
    SoftAuthenticator& key() { return link_->key(); }
    Ctap2& ctap() { return ctap_; }

    // The key answers the next request with this command byte (and sub-command) so, instead of processing it.
    void reply(Bytes answer, std::uint8_t command, std::optional<std::uint8_t> sub = {})
    {
        key().queueRawReply({std::move(answer), command, sub});
    }

    // The requests the key saw since the last call.
    std::vector<SoftAuthenticator::LoggedRequest> takeRequests()
    {
        auto log = key().requestLog();
        key().clearRequestLog();
        return log;
    }

    // Back to a blank key without going through the transport.
    void factoryReset()
    {
        key().openResetWindow();
        key().setTouch(SoftAuthenticator::Touch::Given);
        ASSERT_EQ(key().handle(Bytes{0x07}), Bytes{0x00});
        key().clearRequestLog();
    }

    LogCapture log_;
    std::unique_ptr<SoftKeyLink> link_;
    Ctap2 ctap_; // goes first, while the link it is bound to still stands
};
