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
#include <string_view>

#ifdef KEY_TRANSPORT_CARD
inline constexpr SoftKeyLink::Transport kTransport = SoftKeyLink::Transport::Card;
#else
inline constexpr SoftKeyLink::Transport kTransport = SoftKeyLink::Transport::Usb;
#endif
inline constexpr bool kUsb = kTransport == SoftKeyLink::Transport::Usb;

inline SecureBytes pinOf(std::string_view text)
{
    return SecureBytes(text);
}

// The unsigned value under an integer key of a logged request's CBOR parameters.
inline std::optional<std::uint64_t> requestField(const Bytes& request, std::int64_t key)
{
    if (request.size() < 2)
        return std::nullopt;
    auto item = cborDecode(std::span(request).subspan(1));
    if (!item)
        return std::nullopt;
    return cborUInt64Value(cborMapFind(item->get(), key));
}

inline bool requestHas(const Bytes& request, std::int64_t key)
{
    if (request.size() < 2)
        return false;
    auto item = cborDecode(std::span(request).subspan(1));
    return item && cborMapFind(item->get(), key) != nullptr;
}

class KeyFixture : public testing::Test {
protected:
    void TearDown() override { disconnect(); }

    // Makes the key with this configuration, opens the link, binds the client to it and opens a channel.
    void connect(SoftKeyConfig config = {}, CtaphidFront::Options usbOptions = {})
    {
        link_ = std::make_unique<SoftKeyLink>(kTransport, std::move(config), usbOptions);
        ASSERT_TRUE(link_->open()) << "the key must be reachable (is pcscd running with vpcd?) "
                                   << testing::PrintToString(log_.lines());
        ctap_.setHidHelper(link_->hidHelper());
        ctap_.setPcscHelper(link_->pcscHelper());
        // A USB key answers only on a channel of its own, as every key read starts.
        ASSERT_EQ(ctap_.sendCmdInit().second, kIOReturnSuccess);
    }
    void disconnect()
    {
        ctap_.setHidHelper(nullptr);
        ctap_.setPcscHelper(nullptr);
        link_.reset();
    }

    SoftKeyLink& link() { return *link_; }
    SoftAuthenticator& key() { return link_->key(); }
    Ctap2& ctap() { return ctap_; }

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
        const Bytes answer = key().handle(Bytes{0x07});
        ASSERT_EQ(answer, Bytes{0x00});
        key().clearRequestLog();
    }

    std::unique_ptr<SoftKeyLink> link_;
    Ctap2 ctap_;
    LogCapture log_;
};
