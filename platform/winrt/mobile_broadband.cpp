#include "platform/winrt/mobile_broadband.h"

#include "platform/winrt/activation.h"

namespace winrt::Windows::Networking::NetworkOperators {

MobileBroadbandAntennaSar::MobileBroadbandAntennaSar(std::int32_t antennaIndex,
                                                     std::int32_t sarBackoffIndex) {
    auto factory = get_activation_factory<abi::IMobileBroadbandAntennaSarFactory>(
        kMobileBroadbandAntennaSarClass);
    check_hresult(factory->CreateWithIndex(antennaIndex, sarBackoffIndex, &mAbi));
}

std::int32_t MobileBroadbandAntennaSar::AntennaIndex() const {
    std::int32_t value = 0;
    check_hresult(checked_abi(mAbi)->get_AntennaIndex(&value));
    return value;
}

std::int32_t MobileBroadbandAntennaSar::SarBackoffIndex() const {
    std::int32_t value = 0;
    check_hresult(checked_abi(mAbi)->get_SarBackoffIndex(&value));
    return value;
}

abi::IMobileBroadbandSarManager* MobileBroadbandSarManager::Abi() const {
    return checked_abi(mAbi);
}

Foundation::IAsyncAction MobileBroadbandSarManager::EnableBackoffAsync() const {
    com_ptr<Foundation::abi::IAsyncAction> action;
    check_hresult(Abi()->EnableBackoffAsync(&action));
    return Foundation::IAsyncAction(std::move(action));
}

Foundation::Collections::IVectorView<MobileBroadbandAntennaSar>
MobileBroadbandSarManager::Antennas() const {
    com_ptr<Foundation::Collections::abi::IVectorView<MobileBroadbandAntennaSar>> antennas;
    check_hresult(Abi()->get_Antennas(&antennas));
    return Foundation::Collections::IVectorView<MobileBroadbandAntennaSar>(std::move(antennas));
}

Foundation::IAsyncAction MobileBroadbandSarManager::SetConfigurationAsync(
    const Foundation::Collections::IIterable<MobileBroadbandAntennaSar>& antennas) const {
    com_ptr<Foundation::abi::IAsyncAction> action;
    check_hresult(Abi()->SetConfigurationAsync(antennas.abi(), &action));
    return Foundation::IAsyncAction(std::move(action));
}

MobileBroadbandSarManager MobileBroadbandModemConfiguration::SarManager() const {
    com_ptr<abi::IMobileBroadbandSarManager> manager;
    check_hresult(checked_abi(mAbi)->get_SarManager(&manager));
    return MobileBroadbandSarManager(std::move(manager));
}

MobileBroadbandModem MobileBroadbandModem::GetDefault() {
    auto statics =
        get_activation_factory<abi::IMobileBroadbandModemStatics>(kMobileBroadbandModemClass);
    com_ptr<abi::IMobileBroadbandModem> modem;
    check_hresult(statics->GetDefault(&modem));
    return MobileBroadbandModem(std::move(modem));
}

Foundation::IAsyncOperation<MobileBroadbandModemConfiguration>
MobileBroadbandModem::GetCurrentConfigurationAsync() const {
    com_ptr<Foundation::abi::IAsyncOperation<MobileBroadbandModemConfiguration>> operation;
    check_hresult(checked_abi(mAbi)->GetCurrentConfigurationAsync(&operation));
    return Foundation::IAsyncOperation<MobileBroadbandModemConfiguration>(std::move(operation));
}

} // namespace winrt::Windows::Networking::NetworkOperators
