// Windows.Networking.NetworkOperators: the mobile-broadband modem, its current
// configuration, the SAR manager and antenna SAR settings. Objects are values
// holding a reference; an empty object tests false.
#pragma once

#include "platform/winrt/collections.h"
#include "platform/winrt/foundation.h"

#include <cstdint>

namespace winrt::Windows::Networking::NetworkOperators {

inline constexpr char16_t kMobileBroadbandModemClass[] =
    u"Windows.Networking.NetworkOperators.MobileBroadbandModem";
inline constexpr char16_t kMobileBroadbandAntennaSarClass[] =
    u"Windows.Networking.NetworkOperators.MobileBroadbandAntennaSar";

class MobileBroadbandAntennaSar;
class MobileBroadbandModemConfiguration;

namespace abi {

using Foundation::abi::IAsyncAction;
using Foundation::abi::IAsyncOperation;
using Foundation::Collections::abi::IIterable;
using Foundation::Collections::abi::IVectorView;

struct IMobileBroadbandAntennaSar : ref_counted {
    virtual HRESULT get_AntennaIndex(std::int32_t* value) = 0;
    virtual HRESULT get_SarBackoffIndex(std::int32_t* value) = 0;
};

struct IMobileBroadbandAntennaSarFactory : ref_counted {
    // May hand back an empty object with success.
    virtual HRESULT CreateWithIndex(std::int32_t antennaIndex, std::int32_t sarBackoffIndex,
                                    com_ptr<IMobileBroadbandAntennaSar>* value) = 0;
};

struct IMobileBroadbandSarManager : ref_counted {
    virtual HRESULT EnableBackoffAsync(com_ptr<IAsyncAction>* action) = 0;
    virtual HRESULT get_Antennas(com_ptr<IVectorView<MobileBroadbandAntennaSar>>* value) = 0;
    virtual HRESULT
    SetConfigurationAsync(const com_ptr<IIterable<MobileBroadbandAntennaSar>>& antennas,
                          com_ptr<IAsyncAction>* action) = 0;
};

struct IMobileBroadbandModemConfiguration2 : ref_counted {
    virtual HRESULT get_SarManager(com_ptr<IMobileBroadbandSarManager>* value) = 0;
};

struct IMobileBroadbandModem : ref_counted {
    virtual HRESULT GetCurrentConfigurationAsync(
        com_ptr<IAsyncOperation<MobileBroadbandModemConfiguration>>* op) = 0;
};

struct IMobileBroadbandModemStatics : ref_counted {
    // An empty object when the machine has no modem.
    virtual HRESULT GetDefault(com_ptr<IMobileBroadbandModem>* value) = 0;
};

} // namespace abi

class MobileBroadbandAntennaSar {
public:
    MobileBroadbandAntennaSar(std::nullptr_t = nullptr) {}
    explicit MobileBroadbandAntennaSar(com_ptr<abi::IMobileBroadbandAntennaSar> object)
        : mAbi(std::move(object)) {}
    // Through the class factory's CreateWithIndex; empty when the factory gave nothing.
    MobileBroadbandAntennaSar(std::int32_t antennaIndex, std::int32_t sarBackoffIndex);

    std::int32_t AntennaIndex() const;
    std::int32_t SarBackoffIndex() const;

    explicit operator bool() const { return static_cast<bool>(mAbi); }
    const com_ptr<abi::IMobileBroadbandAntennaSar>& abi() const { return mAbi; }

private:
    com_ptr<abi::IMobileBroadbandAntennaSar> mAbi;
};

class MobileBroadbandSarManager {
public:
    MobileBroadbandSarManager(std::nullptr_t = nullptr) {}
    explicit MobileBroadbandSarManager(com_ptr<abi::IMobileBroadbandSarManager> object)
        : mAbi(std::move(object)) {}

    Foundation::IAsyncAction EnableBackoffAsync() const;
    Foundation::Collections::IVectorView<MobileBroadbandAntennaSar> Antennas() const;
    Foundation::IAsyncAction SetConfigurationAsync(
        const Foundation::Collections::IIterable<MobileBroadbandAntennaSar>& antennas) const;

    explicit operator bool() const { return static_cast<bool>(mAbi); }

private:
    abi::IMobileBroadbandSarManager* Abi() const;

    com_ptr<abi::IMobileBroadbandSarManager> mAbi;
};

class MobileBroadbandModemConfiguration {
public:
    MobileBroadbandModemConfiguration(std::nullptr_t = nullptr) {}
    explicit MobileBroadbandModemConfiguration(
        com_ptr<abi::IMobileBroadbandModemConfiguration2> object)
        : mAbi(std::move(object)) {}

    // Empty when the modem has no SAR manager.
    MobileBroadbandSarManager SarManager() const;

    explicit operator bool() const { return static_cast<bool>(mAbi); }

private:
    com_ptr<abi::IMobileBroadbandModemConfiguration2> mAbi;
};

class MobileBroadbandModem {
public:
    MobileBroadbandModem(std::nullptr_t = nullptr) {}
    explicit MobileBroadbandModem(com_ptr<abi::IMobileBroadbandModem> object)
        : mAbi(std::move(object)) {}

    // Empty when the machine has no modem.
    static MobileBroadbandModem GetDefault();
    Foundation::IAsyncOperation<MobileBroadbandModemConfiguration>
    GetCurrentConfigurationAsync() const;

    explicit operator bool() const { return static_cast<bool>(mAbi); }

private:
    com_ptr<abi::IMobileBroadbandModem> mAbi;
};

} // namespace winrt::Windows::Networking::NetworkOperators
