// The console's control events as the stop requests they are: Ctrl-C and
// Ctrl-Break interrupt, closing the console hangs up, logoff and shutdown
// terminate.
#pragma once

#include <windows.h>

#include "platform/interruptions.h"

namespace platform::win32 {

inline StopRequest StopRequestOf(DWORD event) {
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT: return StopRequest::Interrupt;
    case CTRL_CLOSE_EVENT: return StopRequest::HangUp;
    default: return StopRequest::Terminate;  // logoff, shutdown
    }
}

}  // namespace platform::win32
