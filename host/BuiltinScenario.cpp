#include "host/BuiltinScenario.h"

namespace host {

const char* BuiltinConfig() {
    return R"(Windows Registry Editor Version 5.00

; One modem channel. Nothing near (mask 0): back-off index 1; something near
; (mask 1): index 3. Its one sensor is APPS sensor 1, set through the IOCTL.
[Device Parameters]
"NumberOfChannels"=dword:00000001
"WlanAntCount"=dword:00000000

[Device Parameters\channel0]
"ChannelType"="MODEM"
"SarMappingCount"=dword:00000002
"0"=dword:00000001
"1"=dword:00000003

[Device Parameters\channel0\0]
"Type"="APPS"
"ID"=dword:00000001
)";
}

const char* BuiltinScenarioText() {
    return
        R"(# The machine: a modem with two antennas at index 0, no WWAN interface yet.
modem antennas 2
add
expect add success
expect channels 1
start
# The sensor starts out as detected; clearing it wakes the channel, but
# without a WWAN interface nothing is sent.
ioctl set-state 1 0
expect status success
expect modem-sets 0
# The modem's interface arrives; the next change reaches the modem.
wwan add
ioctl set-state 1 1
expect modem 3,3
ioctl set-state 1 0
expect modem 1,1
# Display off: every sensor counts as active until it comes back on.
display off
expect modem 3,3
display on
expect modem 1,1
# The driver's information IOCTL.
ioctl get-info
expect output 0100000001000000
# Hibernate stops the channel and resets the modem channel; after resume the
# next change enables back-off again and sends.
hibernate
resume
ioctl set-state 1 1
expect modem 3,3
expect modem-enabled yes
# Removal: the device leaves D0 for good, releases its hardware and is deleted.
remove
)";
}

} // namespace host
