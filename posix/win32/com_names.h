// COM port names to Linux device paths.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

// "COM3", "COM3:" (ports 1 to 9) and "\\.\COM12" (any port), in any case, give the
// port number; anything else is not a COM name.
bool ParseComName(LPCWSTR name, int32_t* number);

// Wine's numbering: the device nodes root/dev/ttyS0, root/dev/ttyS1, ... then
// root/dev/ttyUSB0, ... then root/dev/ttyACM0, ..., each series while its nodes
// exist, become COM1, COM2, ... in that order. A node counts whether or not a device
// sits behind it, as Wine counts it: an 8250 slot without a UART is a port that
// cannot be opened, not the end of the series. root is "" for this machine.
bool WinePortDevice(const char* root, int32_t number, char* path, size_t pathSize);

// The device path of port n: $SENTROVA_COMDIR/comN when that variable names a
// folder, else Wine's numbering over the devices present on this machine.
bool ComDevicePath(int32_t number, char* path, size_t pathSize);
