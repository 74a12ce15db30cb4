#include "host/scenario/BuiltinScenario.h"

namespace host {

const char* BuiltinConfig() {
    return R"(Windows Registry Editor Version 5.00

; Both radios behind APPS sensor 1, set through the IOCTL. The modem channel:
; nothing near (mask 0) sends back-off index 1, something near (mask 1) index
; 3. The WLAN channel holds the one antenna of the WLAN adapter (antenna mask
; 1): nothing near sends index 2, something near index 4.
[Device Parameters]
"NumberOfChannels"=dword:00000002
"WlanAntCount"=dword:00000001

[Device Parameters\channel0]
"ChannelType"="MODEM"
"SarMappingCount"=dword:00000002
"0"=dword:00000001
"1"=dword:00000003

[Device Parameters\channel0\0]
"Type"="APPS"
"ID"=dword:00000001

[Device Parameters\channel1]
"ChannelType"="WLAN"
"SarMappingCount"=dword:00000002
"0"=dword:00000002
"1"=dword:00000004

[Device Parameters\channel1\0]
"Type"="APPS"
"ID"=dword:00000001
"WlanAntMask"=dword:00000001
)";
}

const char* BuiltinScenarioText() {
    return
        R"(# The machine: a modem with two antennas at index 0, no WWAN interface yet; a
# WLAN adapter; on the SoC's storage, a provisioning file that asks the WLAN
# channel to send its setting again every minute (its timer runs every 54 s).
modem antennas 2
partition period 60000
add
expect add success
expect channels 2
# The sensor starts out as detected: the WLAN adapter gets index 4 at once.
# Machine time runs a thousand times faster until the first refresh (54 ms)
# has sent the merged setting of the WLAN channels, the same one here.
time-scale 0.001
start
time-scale 1
expect trace "Refresh timer every 54000 ms"
expect wlan 1 1:4
# Clearing the sensor disables back-off at the WLAN adapter; without a WWAN
# interface the modem gets nothing. Every WLAN send puts the next refresh a
# whole period away.
ioctl set-state 1 0
expect status success
expect wlan 0
expect modem-sets 0
# The modem's interface arrives: the modem gets the index for the sensor's
# state at once (nothing near, 1), and every change after it.
wwan add
expect modem 1,1
ioctl set-state 1 1
expect modem 3,3
expect wlan 1 1:4
ioctl set-state 1 0
expect modem 1,1
expect wlan 0
# Display off: every sensor counts as active until it comes back on.
display off
expect modem 3,3
expect wlan 1 1:4
display on
expect modem 1,1
expect wlan 0
# The driver's information IOCTL.
ioctl get-info
expect output 0100000001000000
# Hibernate stops the channels and resets the modem channel; after resume the
# next change enables back-off again and sends. The refresh timer stays, and
# the provisioning file is not read again.
hibernate
resume
expect partition-requests read 1
ioctl set-state 1 1
expect modem 3,3
expect modem-enabled yes
expect wlan 1 1:4
# Removal: the device leaves D0 for good, releases its hardware and is
# deleted; the WLAN adapter is left with the WLAN channel's index for
# something near, whatever the sensor says.
ioctl set-state 1 0
expect wlan 0
remove
expect wlan 1 1:4
)";
}

} // namespace host
