// The simulated network adapters behind IP Helper. Each adapter has an IPv4
// and an IPv6 IP interface, so its arrival delivers two MibAddInstance
// notifications and its removal two MibDeleteInstance. Deliveries run on the
// notification thread and count as pending work until delivered.
#pragma once

#include "platform/iphlpapi.h"

#include <cstddef>
#include <vector>

namespace sim::ip {

// No adapters, no outstanding tables. Registrations are the system's and stay.
void Reset();

// An adapter of `type` arrives. (`wwan add [TYPE]`)
void AddInterface(IFTYPE type = IF_TYPE_WWANPP);
// The most recent adapter of `type` goes; false when there is none. (`wwan remove [TYPE]`)
bool RemoveInterface(IFTYPE type = IF_TYPE_WWANPP);
// A parameter change on the adapter's interfaces (two MibParameterNotification).
bool ChangeInterfaceParameters(IFTYPE type = IF_TYPE_WWANPP);

std::vector<IFTYPE> InterfaceTypes();
std::size_t RegistrationCount();
// Notifications delivered to callbacks since the process started.
std::size_t DeliveredCount();
// Tables handed out by GetIfTable2 and not yet freed.
std::size_t OutstandingTables();

} // namespace sim::ip
