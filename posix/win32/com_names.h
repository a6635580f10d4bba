// COM port names to Linux device paths.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

// "COM3", "COM3:" (ports 1 to 9) and "\\.\COM12" (any port), in any case, give the
// port number; anything else is not a COM name.
bool ParseComName(LPCWSTR name, int32_t* number);

// Wine's numbering: of the present devices, /dev/ttyS0, /dev/ttyS1, ... then
// /dev/ttyUSB0, ... then /dev/ttyACM0, ..., each series while its numbers run on
// without a gap, become COM1, COM2, ... in that order.
bool WinePortDevice(int32_t number, const char* const* present, size_t presentCount, char* path,
                    size_t pathSize);

// The device path of port n: $SENTROVA_COMDIR/comN when that variable names a
// folder, else Wine's numbering over the devices present on this machine.
bool ComDevicePath(int32_t number, char* path, size_t pathSize);
