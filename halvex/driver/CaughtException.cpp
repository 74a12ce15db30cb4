#include "halvex/driver/CaughtException.h"

#include "platform/com.h"
#include "platform/trace.h"
#include "platform/win32.h"

#include <exception>

void TraceCaughtExceptionAt(unsigned flags, const char* file, const char* function) {
    DWORD lastError = GetLastError();
    try {
        throw;
    } catch (const winrt::hresult_error& error) {
        platform::TraceMessage(TRACE_LEVEL_ERROR, flags, file, function, "HRESULT 0x%08X: %s",
                               static_cast<unsigned>(HRESULT(error.code())),
                               NarrowString(error.message().str()).c_str());
    } catch (const std::exception& error) {
        platform::TraceMessage(TRACE_LEVEL_ERROR, flags, file, function, "%s (last error %u)",
                               error.what(), lastError);
    } catch (...) {
        platform::TraceMessage(TRACE_LEVEL_ERROR, flags, file, function,
                               "Unknown exception (last error %u)", lastError);
    }
}
