// Activation of runtime classes through their factories, by class name. The
// caller must be in a COM apartment. Each class has a fault point named
// "RoGetActivationFactory:" followed by the class name.
#pragma once

#include "platform/winrt/base.h"

#include <functional>
#include <string_view>

namespace winrt {

// Stand-in side: the factory behind a runtime class name.
void RegisterActivationFactory(std::u16string_view className,
                               std::function<com_ptr<ref_counted>()> factory);

// REGDB_E_CLASSNOTREG for an unknown class, CO_E_NOTINITIALIZED outside an
// apartment, or the armed fault.
HRESULT RoGetActivationFactory(std::u16string_view className, com_ptr<ref_counted>* factory);

// The factory's interface I, or a raised error.
template <typename I> com_ptr<I> get_activation_factory(std::u16string_view className) {
    com_ptr<ref_counted> factory;
    check_hresult(RoGetActivationFactory(className, &factory));
    auto* face = dynamic_cast<I*>(factory.get());
    if (face == nullptr) {
        throw_hresult(E_NOINTERFACE);
    }
    com_ptr<I> result;
    result.copy_from(face);
    return result;
}

} // namespace winrt
