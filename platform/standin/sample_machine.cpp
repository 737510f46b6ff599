// The sample machine a new user's default store starts from, so that the first
// run of netvane lists adapters instead of an empty registry.
#include "platform/standin/standin.h"

namespace standin {

const char* sampleMachine() {
  return R"reg(REGEDIT4

; The sample machine netvane starts from when no registry store is named.
; Four cards: a static wired adapter, a wireless adapter on DHCP, a virtual
; adapter, and a wired adapter on DHCP laid out as Windows 8.1 to 11 lay it
; out, with its settings in its interface key alone (named in lower case, as
; Windows 10 names it) and no adapter key. Edit freely; netvane keeps what it
; does not change.

[HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows NT\CurrentVersion\NetworkCards]

[HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows NT\CurrentVersion\NetworkCards\12]
"Description"="Quillback Virtual Ethernet Adapter"
"ServiceName"="QVETH1"

[HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows NT\CurrentVersion\NetworkCards\2]
"Description"="Harbor Gigabit Ethernet Controller"
"ServiceName"="{8A0F3C52-6D1E-4B7A-9C3E-2F1D5B7A9E01}"

[HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows NT\CurrentVersion\NetworkCards\7]
"Description"="Lanternfish 802.11ac Wireless Adapter"
"ServiceName"="{C3E1B9D4-0A52-4F6B-8D7E-41A9F0C2B6D3}"

[HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows NT\CurrentVersion\NetworkCards\9]
"Description"="Wrenfield USB-C 2.5G Ethernet Adapter"
"ServiceName"="{E7D1A3F5-9B2C-4E8D-A061-5C3B7F9D2E48}"

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\NetBT\Adapters\{8A0F3C52-6D1E-4B7A-9C3E-2F1D5B7A9E01}]
"NameServer"="192.168.10.2"
"NameServerBackup"=""

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\NetBT\Adapters\{C3E1B9D4-0A52-4F6B-8D7E-41A9F0C2B6D3}]
"NameServer"=""
"NameServerBackup"=""

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\NetBT\Adapters\QVETH1]
"NameServer"=""
"NameServerBackup"=""

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\NetBT\Parameters]
"NodeType"=dword:00000008

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\NetBT\Parameters\Interfaces\Tcpip_{8A0F3C52-6D1E-4B7A-9C3E-2F1D5B7A9E01}]
"NameServerList"=hex(7):31,39,32,2e,31,36,38,2e,31,30,2e,32,00,00
"NetbiosOptions"=dword:00000000

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\NetBT\Parameters\Interfaces\Tcpip_{C3E1B9D4-0A52-4F6B-8D7E-41A9F0C2B6D3}]
"NameServerList"=hex(7):00,00
"NetbiosOptions"=dword:00000000

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\NetBT\Parameters\Interfaces\Tcpip_QVETH1]
"NameServerList"=hex(7):00,00
"NetbiosOptions"=dword:00000000

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\NetBT\Parameters\Interfaces\Tcpip_{e7d1a3f5-9b2c-4e8d-a061-5c3b7f9d2e48}]
"NameServerList"=hex(7):00,00
"NetbiosOptions"=dword:00000000

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\Tcpip\Parameters]
"Hostname"="sample-host"
"Domain"="example.internal"
"NameServer"="192.168.10.2 192.168.10.3"
"SearchList"=""

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\Tcpip\Parameters\Interfaces\{8A0F3C52-6D1E-4B7A-9C3E-2F1D5B7A9E01}]
"EnableDHCP"=dword:00000000
"IPAddress"=hex(7):31,39,32,2e,31,36,38,2e,31,30,2e,32,30,00,00
"SubnetMask"=hex(7):32,35,35,2e,32,35,35,2e,32,35,35,2e,30,00,00
"DefaultGateway"=hex(7):31,39,32,2e,31,36,38,2e,31,30,2e,31,00,00
"NameServer"="192.168.10.2,192.168.10.3"
"DhcpServer"="255.255.255.255"

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\Tcpip\Parameters\Interfaces\{C3E1B9D4-0A52-4F6B-8D7E-41A9F0C2B6D3}]
"EnableDHCP"=dword:00000001
"IPAddress"=hex(7):30,2e,30,2e,30,2e,30,00,00
"SubnetMask"=hex(7):30,2e,30,2e,30,2e,30,00,00
"DefaultGateway"=hex(7):00,00
"NameServer"=""
"DhcpIPAddress"="10.20.30.41"
"DhcpSubnetMask"="255.255.255.0"
"DhcpServer"="10.20.30.1"
"DhcpDefaultGateway"=hex(7):31,30,2e,32,30,2e,33,30,2e,31,00,00
"DhcpNameServer"="10.20.30.1"
"DhcpDomain"="home.example"
"DhcpSubnetMaskOpt"=hex(7):32,35,35,2e,32,35,35,2e,32,35,35,2e,30,00,00
"Lease"=dword:00015180

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\Tcpip\Parameters\Interfaces\QVETH1]
"EnableDHCP"=dword:00000000
"IPAddress"=hex(7):31,37,32,2e,31,36,2e,35,2e,39,00,00
"SubnetMask"=hex(7):32,35,35,2e,32,35,35,2e,30,2e,30,00,00
"DefaultGateway"=hex(7):00,00
"NameServer"=""

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\Tcpip\Parameters\Interfaces\{e7d1a3f5-9b2c-4e8d-a061-5c3b7f9d2e48}]
"EnableDHCP"=dword:00000001
"Domain"=""
"NameServer"=""
"DhcpIPAddress"="192.168.20.57"
"DhcpSubnetMask"="255.255.255.0"
"DhcpServer"="192.168.20.1"
"DhcpDefaultGateway"=hex(7):31,39,32,2e,31,36,38,2e,32,30,2e,31,00,00
"DhcpNameServer"="192.168.20.1"
"DhcpDomain"="lab.example"
"DhcpSubnetMaskOpt"=hex(7):32,35,35,2e,32,35,35,2e,32,35,35,2e,30,00,00
"Lease"=dword:00015180

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\{8A0F3C52-6D1E-4B7A-9C3E-2F1D5B7A9E01}\Parameters\Tcpip]
"EnableDHCP"=dword:00000000
"IPAddress"=hex(7):31,39,32,2e,31,36,38,2e,31,30,2e,32,30,00,00
"SubnetMask"=hex(7):32,35,35,2e,32,35,35,2e,32,35,35,2e,30,00,00
"DefaultGateway"=hex(7):31,39,32,2e,31,36,38,2e,31,30,2e,31,00,00
"DhcpIPAddress"="0.0.0.0"
"DhcpServer"="255.255.255.255"
"DhcpSubnetMask"="255.0.0.0"

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\{C3E1B9D4-0A52-4F6B-8D7E-41A9F0C2B6D3}\Parameters\Tcpip]
"EnableDHCP"=dword:00000001
"IPAddress"=hex(7):30,2e,30,2e,30,2e,30,00,00
"SubnetMask"=hex(7):30,2e,30,2e,30,2e,30,00,00
"DefaultGateway"=hex(7):00,00
"DhcpIPAddress"="10.20.30.41"
"DhcpSubnetMask"="255.255.255.0"
"DhcpServer"="10.20.30.1"
"DhcpDefaultGateway"=hex(7):31,30,2e,32,30,2e,33,30,2e,31,00,00
"DhcpSubnetMaskOpt"=hex(7):32,35,35,2e,32,35,35,2e,32,35,35,2e,30,00,00

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\QVETH1\Parameters\Tcpip]
"EnableDHCP"=dword:00000000
"IPAddress"=hex(7):31,37,32,2e,31,36,2e,35,2e,39,00,00
"SubnetMask"=hex(7):32,35,35,2e,32,35,35,2e,30,2e,30,00,00
"DefaultGateway"=hex(7):00,00
)reg";
}

}  // namespace standin
