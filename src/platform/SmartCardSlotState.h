#pragma once

#include <PCSC/wintypes.h>

#include <cstdint>

// What lies on a reader, as the card watching reports it.
enum class SmartCardSlotState : std::uint8_t {
    missing = 0, // the reader is gone
    empty = 1,
    probing = 2,
    muteCard = 3,
    validCard = 4,
};

// The slot state of a PC/SC reader state word (dwEventState).
SmartCardSlotState slotStateFromReaderState(DWORD readerState);
