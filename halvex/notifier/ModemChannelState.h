// The state every modem notifier shares: one modem, one SAR manager, one
// WWAN-interface registration for the whole process.
#pragma once

#include "platform/types.h"
#include "platform/winrt/mobile_broadband.h"

#include <atomic>
#include <list>
#include <mutex>

class ModemDataNotifier;

// Every live modem notifier, in construction order.
extern std::list<ModemDataNotifier*> gModemNotifiers;
// Held, besides gModemMutex, by whoever changes gModemNotifiers, so that the
// IP-interface callback can walk the list without waiting for a send.
extern std::mutex gModemNotifiersLock;
// The SAR manager of the default modem's configuration, from the latest enable attempt.
extern winrt::Windows::Networking::NetworkOperators::MobileBroadbandSarManager gSarManager;
// Serialises every send to the modem, waits included.
extern std::mutex gModemMutex;

// Written by the IP-interface callback without the mutex, hence atomic bytes.
extern std::atomic<BYTE> gBackoffEnabled;
extern std::atomic<BYTE> gSarSupported;
extern std::atomic<BYTE> gWwanInterfacePresent;
// How often the shared state was reset (the WWAN interface gone, the channels
// stopped): a send that sees it change meanwhile knows that the modem's
// answers concern an interface that went away.
extern std::atomic<ULONG> gModemStateResets;

// The IP-interface change registration; NULL while not registered.
extern HANDLE gIpInterfaceChangeHandle;
