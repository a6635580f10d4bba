// The COM names CreateFileW takes, as Windows spells them.
#pragma once

#include <windows.h>

#include <cstdint>

// The highest port number a COM name may give.
constexpr int32_t kLastComName = 256;

// "COM3", "COM3:" (ports 1 to 9) and "\\.\COM12" (any port), in any case, give the
// port number; anything else is not a COM name.
bool ParseComName(LPCWSTR name, int32_t* number);
