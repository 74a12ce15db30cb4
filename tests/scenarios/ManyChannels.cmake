# Writes a configuration of CHANNELS MODEM channels, each behind an APPS sensor
# of its own, to OUT: enough channels that device add traces more than the
# trace recorder keeps.
#   cmake -DOUT=file.reg -DCHANNELS=5000 -P ManyChannels.cmake
math(EXPR count_hex "${CHANNELS}" OUTPUT_FORMAT HEXADECIMAL)
string(REGEX REPLACE "^0x" "" count_hex "${count_hex}")
string(LENGTH "${count_hex}" length)
math(EXPR pad "8 - ${length}")
string(REPEAT "0" ${pad} zeros)
set(text "Windows Registry Editor Version 5.00\n\n[Device Parameters]\n\"NumberOfChannels\"=dword:${zeros}${count_hex}\n")
math(EXPR last "${CHANNELS} - 1")
foreach(i RANGE ${last})
  string(APPEND text "\n[Device Parameters\\channel${i}]\n\"ChannelType\"=\"MODEM\"\n"
         "\"SarMappingCount\"=dword:00000002\n\"0\"=dword:00000001\n\"1\"=dword:00000003\n"
         "\n[Device Parameters\\channel${i}\\0]\n\"Type\"=\"APPS\"\n\"ID\"=dword:00000001\n")
endforeach()
file(WRITE "${OUT}" "${text}")
