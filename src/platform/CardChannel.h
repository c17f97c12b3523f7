#pragma once

#include "platform/SecureBytes.h"

#include <PCSC/pcsclite.h>
#include <PCSC/wintypes.h>

#include <span>

// One open connection to a card: sends a complete APDU and returns the card's answer with its status word.
// Calls may block for as long as the card and the service take; SmartCard bounds them.
class CardChannel {
public:
    virtual ~CardChannel() = default;
    // A PC/SC result; response holds the answer only on SCARD_S_SUCCESS.
    virtual LONG transmit(std::span<const std::uint8_t> apdu, Bytes& response) = 0;
};
