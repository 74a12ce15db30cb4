// The simulated configuration manager behind platform/cm.h: the table of
// device interfaces (class, symbolic link, present or not) and the delivery
// of its notifications. An interface's arrival or removal reaches every
// registration for its class on the notification thread, one callback at a
// time in the order the changes happened; each delivery counts as pending
// work until its callback has returned. Simulated devices (sim/target_device.h)
// publish and withdraw their interfaces through this table.
//
// Fault points: "CM_Register_Notification" (default CR_OUT_OF_MEMORY),
// "CM_Unregister_Notification" (CR_FAILURE; the registration stays),
// "CM_Get_Device_Interface_List_SizeW" (CR_FAILURE) and
// "CM_Get_Device_Interface_ListW" (CR_BUFFER_SMALL, as when an interface
// arrives between the two calls), and "CM_NOTIFY_CALLBACK": a delivery on a
// device handle gives its callback a NULL context.
#pragma once

#include "platform/cm.h"

#include <cstddef>
#include <string>

namespace sim::cm {

// Forgets every interface. Registrations are the system's and stay.
void Reset();

// An interface of `interfaceClass` becomes present (nothing happens when it
// already is); arrival notifications follow.
void AddInterface(const GUID& interfaceClass, const std::u16string& symbolicLink);
// The interface is no longer present (the ALL_DEVICES list keeps it); removal
// notifications follow.
void RemoveInterface(const std::u16string& symbolicLink);
bool InterfacePresent(const std::u16string& symbolicLink);

// Registrations not yet ended, of both kinds.
std::size_t RegistrationCount();

// Delivers `action` to every registration on the device handle `target`, on
// the calling thread, and returns the first answer other than ERROR_SUCCESS
// (a veto, for a query-remove), else ERROR_SUCCESS. The removal of a target
// device calls this for each target it takes through removal.
DWORD NotifyDeviceHandle(HANDLE target, CM_NOTIFY_ACTION action);

} // namespace sim::cm
