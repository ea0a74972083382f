// Port numbers to device paths. COMn is first looked up as an entry named
// "COMn" (normally a symbolic link to the device) in the port map folder:
// $MORVANE_PORT_MAP when set, else ~/.config/morvane-host/ports. Ports without
// an entry there use the fixed table: COM1..COM8 = /dev/ttyUSB0..7,
// COM9..COM16 = /dev/ttyACM0..7, COM17..COM32 = /dev/ttyS0..15.
#pragma once

#include <string>

namespace mv {

// The port map folder in use (may not exist).
std::string PortMapFolder();

// The device path for port n, "" when n has none (outside 1..255, or above
// 32 without a map entry). A map entry that is a symbolic link gives its
// target (relative targets resolved against the folder).
std::string PortDevicePath(int n);

// Whether path names a terminal device that exists now: a character device
// (following links), not a serial-core port slot without hardware behind it.
bool IsTerminalDevice(const std::string& path);

}  // namespace mv

namespace PLKDVX {

// The port-presence test: false outside 1..255 and for ports without a path;
// otherwise whether the port's path is a terminal device right now. Nothing is
// cached: an adapter plugged in or out is seen at the next call.
bool IsPortPres(int n);

}  // namespace PLKDVX
