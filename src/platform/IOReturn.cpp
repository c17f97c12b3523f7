#include "platform/IOReturn.h"

#include <cstdio>

std::string ioReturnName(IOReturn status)
{
    switch (status) {
    case kIOReturnSuccess: return "kIOReturnSuccess";
    case kIOReturnError: return "kIOReturnError";
    case kIOReturnNoDevice: return "kIOReturnNoDevice";
    case kIOReturnUnsupported: return "kIOReturnUnsupported";
    case kIOReturnIOError: return "kIOReturnIOError";
    case kIOReturnTimeout: return "kIOReturnTimeout";
    case kIOReturnNotPermitted: return "kIOReturnNotPermitted";
    case kIOReturnOverrun: return "kIOReturnOverrun";
    case kIOReturnAborted: return "kIOReturnAborted";
    case kIOReturnInvalid: return "kIOReturnInvalid";
    default: break;
    }
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", status);
    return buf;
}
