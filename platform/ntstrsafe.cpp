#include "platform/ntstrsafe.h"

#include <cstdarg>

NTSTATUS RtlStringCbPrintfW(PWSTR Dest, size_t DestBytes, PCWSTR Format, ...) {
    const size_t capacity = DestBytes / sizeof(WCHAR);
    if (Dest == nullptr || capacity == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    size_t length = 0;
    bool cut = false;
    auto put = [&](WCHAR c) {
        if (length + 1 < capacity) {
            Dest[length++] = c;
        } else {
            cut = true;
        }
    };
    va_list arguments;
    va_start(arguments, Format);
    NTSTATUS status = STATUS_SUCCESS;
    for (PCWSTR f = Format; *f != 0; ++f) {
        if (*f != u'%') {
            put(*f);
            continue;
        }
        ++f;
        if (*f == u'%') {
            put(u'%');
        } else if (*f == u's') {
            for (PCWSTR s = va_arg(arguments, PCWSTR); s != nullptr && *s != 0; ++s) {
                put(*s);
            }
        } else {
            status = STATUS_INVALID_PARAMETER;
            length = 0;
            break;
        }
    }
    va_end(arguments);
    Dest[length] = 0;
    return NT_SUCCESS(status) && cut ? STATUS_BUFFER_OVERFLOW : status;
}
