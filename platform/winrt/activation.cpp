#include "platform/winrt/activation.h"

#include "platform/sim/com_apartment.h"
#include "platform/sim/faults.h"

#include <map>
#include <mutex>
#include <new>
#include <string>

namespace winrt {
namespace {

struct Registry {
    std::mutex lock;
    std::map<std::u16string, std::function<com_ptr<ref_counted>()>, std::less<>> factories;
};

Registry& TheRegistry() {
    static Registry* registry = new Registry; // used by static registrations and until exit
    return *registry;
}

} // namespace

void RegisterActivationFactory(std::u16string_view className,
                               std::function<com_ptr<ref_counted>()> factory) {
    auto& registry = TheRegistry();
    std::lock_guard guard(registry.lock);
    registry.factories[std::u16string(className)] = std::move(factory);
}

HRESULT RoGetActivationFactory(std::u16string_view className, com_ptr<ref_counted>* factory) {
    *factory = nullptr;
    if (sim::CurrentThreadComInitCount() == 0) {
        return CO_E_NOTINITIALIZED;
    }
    std::string point = "RoGetActivationFactory:" + NarrowString(className);
    if (auto code = sim::CheckFault(point)) {
        return sim::FaultCodeOr<HRESULT>(*code, REGDB_E_CLASSNOTREG);
    }
    std::function<com_ptr<ref_counted>()> create;
    {
        auto& registry = TheRegistry();
        std::lock_guard guard(registry.lock);
        auto it = registry.factories.find(className);
        if (it == registry.factories.end()) {
            return REGDB_E_CLASSNOTREG;
        }
        create = it->second;
    }
    *factory = create();
    return *factory ? S_OK : E_OUTOFMEMORY;
}

HRESULT to_hresult() noexcept {
    try {
        throw;
    } catch (const hresult_error& error) {
        return error.code();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_FAIL;
    }
}

void check_allocation() {
    if (sim::CheckFault("make_self")) {
        throw std::bad_alloc();
    }
}

[[noreturn]] void throw_null_object() {
    throw_hresult(E_POINTER);
}

} // namespace winrt
