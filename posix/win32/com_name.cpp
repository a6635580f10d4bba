#include "win32/com_name.h"

namespace {

// "COM10" and up exist in the device namespace only.
constexpr int32_t kLastDosComPort = 9;

WCHAR AsciiUpper(WCHAR c) { return (c >= L'a' && c <= L'z') ? c - L'a' + L'A' : c; }

}  // namespace

bool ParseComName(LPCWSTR name, int32_t* number) {
  if (name == nullptr) return false;
  const WCHAR* p = name;
  bool deviceNamespace = p[0] == L'\\' && p[1] == L'\\' && p[2] == L'.' && p[3] == L'\\';
  if (deviceNamespace) p += 4;
  if (AsciiUpper(p[0]) != L'C' || AsciiUpper(p[1]) != L'O' || AsciiUpper(p[2]) != L'M')
    return false;
  p += 3;
  if (*p < L'1' || *p > L'9') return false;  // no COM0, no leading zero
  int32_t value = 0;
  for (; *p >= L'0' && *p <= L'9'; ++p) {
    value = value * 10 + (*p - L'0');
    if (value > kLastComName) return false;
  }
  // The colon belongs to the DOS device form only. That form stops at COM9: on
  // Windows "COM10" is a file in the current folder, so it is no port here either.
  if (!deviceNamespace && *p == L':') ++p;
  if (*p != 0 || (!deviceNamespace && value > kLastDosComPort)) return false;
  *number = value;
  return true;
}
