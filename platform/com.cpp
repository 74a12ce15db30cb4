#include "platform/com.h"

#include "platform/sim/com_apartment.h"
#include "platform/sim/faults.h"
#include "platform/win32.h"

#include <cstdio>
#include <map>
#include <mutex>
#include <new>

namespace {

struct Apartment {
    int initCount = 0;
    DWORD mode = COINIT_MULTITHREADED;
};

thread_local Apartment tApartment;

// Which threads are in the multithreaded apartment, for tests that ask about
// another thread. Event deliveries enter and leave the apartment and may still
// run at exit.
struct MtaThreads {
    std::mutex lock;
    std::map<DWORD, int> counts;
};

MtaThreads& TheMtaThreads() {
    static MtaThreads* threads = new MtaThreads;
    return *threads;
}

void RecordMta(int delta) {
    auto& mta = TheMtaThreads();
    std::lock_guard guard(mta.lock);
    DWORD id = GetCurrentThreadId();
    if ((mta.counts[id] += delta) <= 0) {
        mta.counts.erase(id);
    }
}

} // namespace

HRESULT CoInitializeEx(LPVOID, DWORD coInit) {
    if (auto code = sim::CheckFault("CoInitializeEx")) {
        return sim::FaultCodeOr<HRESULT>(*code, E_OUTOFMEMORY);
    }
    if (tApartment.initCount > 0) {
        if (tApartment.mode != coInit) {
            return RPC_E_CHANGED_MODE;
        }
        ++tApartment.initCount;
        if (coInit == COINIT_MULTITHREADED) {
            RecordMta(1);
        }
        return S_FALSE;
    }
    tApartment.initCount = 1;
    tApartment.mode = coInit;
    if (coInit == COINIT_MULTITHREADED) {
        RecordMta(1);
    }
    return S_OK;
}

void CoUninitialize() {
    if (tApartment.initCount == 0) {
        return;
    }
    --tApartment.initCount;
    if (tApartment.mode == COINIT_MULTITHREADED) {
        RecordMta(-1);
    }
}

int StringFromGUID2(REFGUID guid, LPWSTR text, int capacity) {
    constexpr int kLength = 39;
    if (text == nullptr || capacity < kLength) {
        return 0;
    }
    char narrow[kLength];
    std::snprintf(narrow, sizeof narrow, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned>(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0],
                  guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5],
                  guid.Data4[6], guid.Data4[7]);
    for (int i = 0; i < kLength; ++i) {
        text[i] = static_cast<WCHAR>(narrow[i]);
    }
    return kLength;
}

namespace sim {

bool CurrentThreadInMta() {
    return tApartment.initCount > 0 && tApartment.mode == COINIT_MULTITHREADED;
}

bool ThreadInMta(DWORD threadId) {
    auto& mta = TheMtaThreads();
    std::lock_guard guard(mta.lock);
    return mta.counts.count(threadId) != 0;
}

int CurrentThreadComInitCount() {
    return tApartment.initCount;
}

} // namespace sim

namespace winrt {

hresult_error::hresult_error(HRESULT code) : mCode(code) {}

[[noreturn]] void throw_hresult(HRESULT result) {
    if (result == E_OUTOFMEMORY) {
        throw std::bad_alloc();
    }
    throw hresult_error(result);
}

void check_hresult(HRESULT result) {
    if (FAILED(result)) {
        throw_hresult(result);
    }
}

} // namespace winrt

std::string NarrowString(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::string NarrowString(const WCHAR* text) {
    return text == nullptr ? std::string() : NarrowString(std::u16string_view(text));
}
