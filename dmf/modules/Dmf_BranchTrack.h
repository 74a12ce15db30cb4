// The BranchTrack module: counts how often named code branches were taken,
// and answers a diagnostic IOCTL with the table of counters. The framework
// adds it ahead of a device's own modules when the client puts its
// configuration in the device-init record and the driver's
// "BranchTrackEnabled" registry value is set; it is then open before any other
// module's BranchTrackInitialize callback declares that module's branches.
#pragma once

#include "dmf/framework/DmfDevice.h"
#include "dmf/framework/DmfModule.h"
#include "platform/types.h"

// {1964F671-9F87-4D91-938E-2B15002F249B}: the interface a diagnostic tool
// opens when no symbolic link is configured.
inline constexpr GUID GUID_DEVINTERFACE_BranchTrack = {
    0x1964F671, 0x9F87, 0x4D91, {0x93, 0x8E, 0x2B, 0x15, 0x00, 0x2F, 0x24, 0x9B}};

// METHOD_BUFFERED. Input: a ULONG command. Command 1 answers
// {ULONG 1, ULONG name length + 9, ULONG 0, ULONG 0, the module's instance
// name NUL-terminated}; command 2 answers {ULONG 2, ULONG 0} and one
// BRANCHTRACK_REQUEST_OUTPUT record per branch, in the order the branches were
// declared. A buffer too short for the whole answer gets
// STATUS_BUFFER_TOO_SMALL and no data.
inline constexpr ULONG IOCTL_BRANCHTRACK_QUERY_INFORMATION = 0x0022502Cu;
enum BranchTrack_RequestType : ULONG {
    BranchTrack_RequestType_ModuleName = 1,
    BranchTrack_RequestType_BranchDetails = 2,
};

// Whether the branch's count is as expected, e.g. "taken at least once".
using EVT_DMF_BranchTrack_StatusQuery = BOOLEAN(DMFMODULE DmfModule, PCSTR BranchName,
                                                ULONG Context, ULONG Count);

// Layout of one command-2 record (little-endian, no padding beyond what is
// shown). Offsets are from the start of the record; the three names follow
// the 40-byte header, each NUL-terminated.
//   0  ULONG  offset of the next record, 0 in the last
//   4  ULONG  header size, 40
//   8  ULONG  counter
//  12  ULONG  offset of the branch name
//  16  ULONG  offset of the hint
//  20  ULONG  offset of the module name
//  24  UCHAR  status: the condition's answer (1 for a branch without one)
//  28  8 bytes the condition callback's address
//  36  ULONG  the condition's context
inline constexpr ULONG BRANCHTRACK_RECORD_HEADER_SIZE = 40;

// Hints longer than this are refused.
inline constexpr ULONG BRANCHTRACK_MAXIMUM_HINT_LENGTH = 64;

using EVT_DMF_BranchTrack_BranchesInitialize = void(DMFMODULE DmfModule);

struct DMF_CONFIG_BranchTrack {
    ULONG BranchNameLength; // longest branch name, in characters
    ULONG ModuleNameLength; // longest module name, in characters
    ULONG MaximumBranches;
    // Optional: a symbolic link (which must outlive the module) in place of
    // the device interface.
    PCWSTR SymbolicLinkName;
    // Optional: called when the module opens, to declare the client's branches.
    EVT_DMF_BranchTrack_BranchesInitialize* BranchesInitialize;
};

NTSTATUS DMF_BranchTrack_Create(WDFDEVICE Device, DMF_MODULE_ATTRIBUTES* DmfModuleAttributes,
                                WDF_OBJECT_ATTRIBUTES* ObjectAttributes, DMFMODULE* DmfModule);

// Puts the configuration in the device-init record; it is read when
// DMF_ModulesCreate runs.
void DMF_DmfDeviceInitSetBranchTrackConfig(PDMFDEVICE_INIT DmfDeviceInit,
                                           DMF_CONFIG_BranchTrack* BranchTrackConfig);

// Declares a branch with its hint and condition, counted 0 until taken; a
// branch already declared (or taken) is left as it is. A branch is named by
// its module and branch name. STATUS_INVALID_PARAMETER for a name or hint
// longer than configured; STATUS_INSUFFICIENT_RESOURCES when every branch of
// the table is in use. StatusQuery may be NULL.
NTSTATUS DMF_BranchTrack_BranchCreate(DMFMODULE DmfModule, PCSTR ModuleName, PCSTR BranchName,
                                      PCSTR Hint, EVT_DMF_BranchTrack_StatusQuery* StatusQuery,
                                      ULONG StatusQueryContext);

// Counts the branch once; a branch never declared is declared here, with an
// empty hint and no condition. Statuses as for BranchCreate.
NTSTATUS DMF_BranchTrack_BranchTaken(DMFMODULE DmfModule, PCSTR ModuleName, PCSTR BranchName);
