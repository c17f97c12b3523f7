#pragma once

#include "platform/SecureBytes.h"

#include <PCSC/pcsclite.h>
#include <PCSC/wintypes.h>

#include <span>

// One open connection to a card: sends a complete APDU and returns the card's answer with its status word.
// Calls may block for as long as the card and the service take; SmartCard bounds them. Every call gives a PC/SC
// result.
class CardChannel {
public:
    virtual ~CardChannel() = default;
    // response holds the answer only on SCARD_S_SUCCESS.
    virtual LONG transmit(std::span<const std::uint8_t> apdu, Bytes& response) = 0;
    // After another program reset the card or powered it down, nothing reaches the card until this.
    virtual LONG reconnect() = 0;
    // Keeps every other connection away from the card until endTransaction; blocks while another one keeps
    // it.
    virtual LONG beginTransaction() = 0;
    virtual LONG endTransaction() = 0;
};
