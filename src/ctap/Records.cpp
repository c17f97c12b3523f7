// The protocol records are plain header-only types; this unit keeps the library non-empty until the
// client code lands in it.
#include "ctap/Info.h"
#include "ctap/PinProtocol.h"
#include "ctap/ResponseInit.h"
