// The Linux build's entry: the program's own entry is wWinMain, as on Windows.
#include "terminal/terminal.h"

#include <csignal>
#include <cstring>

// Any non-null value: the program passes its instance on and never looks inside.
struct HINSTANCE__ {
  int unused;
};

int main(int argc, char** argv) {
  // A log reader that went away must not end the program: the log lines are then
  // lost without an error, as for a GUI program without a stdout.
  std::signal(SIGPIPE, SIG_IGN);
  StartSignalWatch();

  // The command line without the program's name, as Windows hands it over.
  std::wstring commandLine;
  for (int n = 1; n < argc; ++n) {
    if (n > 1) commandLine.push_back(L' ');
    size_t length = std::strlen(argv[n]);
    for (size_t at = 0; at < length;) commandLine.push_back(static_cast<WCHAR>(NextUtf8(argv[n], length, &at)));
  }
  static HINSTANCE__ instance = {0};
  return wWinMain(&instance, nullptr, commandLine.data(), SW_SHOWNORMAL);
}
