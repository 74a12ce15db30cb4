// How every boundary of the driver (framework callbacks, thread procedures,
// operating-system callbacks) reports the exception it stopped: a WinRT error
// with its HRESULT and message, a standard exception with its text and the
// last Win32 error, anything else with the last Win32 error.
#pragma once

// Call only inside a catch block.
#define TraceCaughtException(flags) ::TraceCaughtExceptionAt((flags), __FILE__, __func__)

void TraceCaughtExceptionAt(unsigned flags, const char* file, const char* function);
