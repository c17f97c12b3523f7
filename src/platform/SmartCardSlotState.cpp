#include "platform/SmartCardSlotState.h"

#include <PCSC/pcsclite.h>

SmartCardSlotState slotStateFromReaderState(DWORD readerState)
{
    if (readerState & (SCARD_STATE_UNKNOWN | SCARD_STATE_IGNORE | SCARD_STATE_UNAVAILABLE))
        return SmartCardSlotState::missing;
    if (readerState & SCARD_STATE_PRESENT)
        return (readerState & SCARD_STATE_MUTE) ? SmartCardSlotState::muteCard : SmartCardSlotState::validCard;
    if (readerState & SCARD_STATE_EMPTY)
        return SmartCardSlotState::empty;
    return SmartCardSlotState::probing;
}
