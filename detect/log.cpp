#include "detect/log.h"

#include <cstdarg>
#include <cstdio>

void LogLine(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vfprintf(stdout, format, args);
  va_end(args);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}
