// COM apartments and the error type that WinRT calls raise.
#pragma once

#include "platform/types.h"

#include <compare>
#include <string>
#include <string_view>

#define COINIT_MULTITHREADED 0x0u
#define COINIT_APARTMENTTHREADED 0x2u

// Apartment membership is tracked per thread. A second initialisation in the
// same mode gives S_FALSE, one in the other mode RPC_E_CHANGED_MODE.
HRESULT CoInitializeEx(LPVOID reserved, DWORD coInit);
void CoUninitialize();

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" with its terminator into `text`;
// returns the characters written including the terminator (39), or 0 when
// `capacity` is too small.
int StringFromGUID2(REFGUID guid, LPWSTR text, int capacity);

namespace winrt {

// UTF-16 string as WinRT hands it out, ordered by its text.
class hstring {
public:
    hstring() = default;
    hstring(std::u16string text) : mText(std::move(text)) {}
    hstring(const char16_t* text) : mText(text ? text : u"") {}
    const char16_t* c_str() const { return mText.c_str(); }
    std::size_t size() const { return mText.size(); }
    bool empty() const { return mText.empty(); }
    const std::u16string& str() const { return mText; }
    bool operator==(const hstring& other) const = default;
    auto operator<=>(const hstring& other) const = default;

private:
    std::u16string mText;
};

struct hresult {
    HRESULT value = S_OK;
    constexpr operator HRESULT() const { return value; }
};

// Raised by WinRT calls that fail. Deliberately not a std::exception: callers
// catch it in its own clause before the standard ones.
class hresult_error {
public:
    hresult_error() = default;
    explicit hresult_error(HRESULT code);
    hresult_error(HRESULT code, hstring message) : mCode(code), mMessage(std::move(message)) {}
    hresult code() const { return hresult{mCode}; }
    hstring message() const { return mMessage; }

private:
    HRESULT mCode = E_FAIL;
    hstring mMessage;
};

// Raises hresult_error for a failed HRESULT, std::bad_alloc for E_OUTOFMEMORY.
void check_hresult(HRESULT result);
[[noreturn]] void throw_hresult(HRESULT result);

} // namespace winrt

// UTF-16 to UTF-8, for trace messages.
std::string NarrowString(std::u16string_view text);
std::string NarrowString(const WCHAR* text);
