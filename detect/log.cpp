#include "detect/log.h"

#include <fcntl.h>
#include <io.h>

#include <cstdarg>
#include <cstdio>

namespace {

// A line ends with a line feed alone: the C runtime on Windows would write CR LF
// to a text-mode standard output, so the log's stream is made binary once. A GUI
// program started without a standard output has no descriptor to change.
bool MakeLogBinary() {
  int descriptor = _fileno(stdout);
  return descriptor >= 0 && _setmode(descriptor, _O_BINARY) != -1;
}

}  // namespace

void LogLine(const char* format, ...) {
  static const bool binary = MakeLogBinary();
  (void)binary;
  va_list args;
  va_start(args, format);
  std::vfprintf(stdout, format, args);
  va_end(args);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}
