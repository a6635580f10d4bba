// The Linux build's entry: the program's own entry is wWinMain, as on Windows. The
// command line is the Linux build's own: --help and --version, as a Linux command
// has them, and --scan for scripts; the dialog itself takes no argument.
#include "program/program.h"

#include "terminal/terminal.h"

#include "resources/texts.h"
#include "policy/port_numbering.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

// Any non-null value: the program passes its instance on and never looks inside.
struct HINSTANCE__ {
  int unused;
};

namespace {

const char kHelpTop[] =
    "Usage: sentrova [--help | --version]\n"
    "       sentrova --scan [--json] [--device PATH]...\n"
    "\n"
    "Finds the serial port and baud rate of an attached GPS receiver: tries COM1 to\n"
    "COM255 at 4800, 9600, 19200, 38400, 57600 and 115200 bit/s and reports the first\n"
    "port and rate that deliver an NMEA sentence of the GP talker, with the device the\n"
    "port is. Each step is logged on standard output.\n"
    "\n"
    "In a terminal the dialog is drawn at its bottom: Enter or d scans, and\n"
    "Escape, q, Ctrl-D quit. Without one a line on stdin scans, and the result goes\n"
    "to stderr as \"Completed: <result>\" and the lines that explain it.\n"
    "\n"
    "Options:\n"
    "  --scan           scan once without the dialog: exit status 0 found, 1 none\n"
    "  --json           with --scan: the result as one JSON object on stdout, the log\n"
    "                   on stderr (jq -r '.stable_path // .device' names the receiver)\n"
    "  --device PATH    with --scan: scan only this device; repeatable\n"
    "  --help           show this help and exit\n"
    "  --version        show the version and exit\n"
    "\n";
// Then the ports, their series taken from the numbering itself.
const char kHelpPortsLead[] = "COM1, COM2, ... are the device nodes of the series ";
const char kHelpPortsTail[] =
    ", in this order (/dev/ttyS0 first), or with SENTROVA_COMDIR set the devices its comN "
    "link to. Exit status 2: bad usage, or no scan possible. See sentrova(1).";

// Words wrapped into lines of at most 79 columns.
std::string Wrapped(const std::string& text) {
  std::string lines;
  size_t column = 0;
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find(' ', at);
    if (end == std::string::npos) end = text.size();
    if (column > 0 && column + 1 + (end - at) > 79) {
      lines += '\n';
      column = 0;
    } else if (column > 0) {
      lines += ' ';
      ++column;
    }
    lines.append(text, at, end - at);
    column += end - at;
    at = end + 1;
  }
  return lines + "\n";
}

std::string HelpText() {
  return kHelpTop + Wrapped(kHelpPortsLead + PortSeriesText() + kHelpPortsTail);
}

// Writes text to stdout; 0, or 1 when it could not be written (a full disk, a closed
// pipe), so a caller of --help or --version learns that it got nothing.
int PrintAndExit(const char* text) {
  bool written = std::fputs(text, stdout) >= 0;
  written = std::fflush(stdout) == 0 && written;
  return written ? 0 : 1;
}

int Usage(const char* problem) {
  std::fprintf(stderr, "sentrova: %s; see 'sentrova --help'\n", problem);
  return kNoAnswerStatus;
}

}  // namespace

int main(int argc, char** argv) {
  // A log reader that went away must not end the program: the log lines are then
  // lost without an error, as for a GUI program without a stdout.
  std::signal(SIGPIPE, SIG_IGN);

  // Every argument is checked before any is acted on: a mistyped one never runs a
  // scan, and never hides behind a --help before it.
  bool help = false;
  bool version = false;
  bool scan = false;
  bool json = false;
  std::vector<std::string> devices;
  for (int n = 1; n < argc; ++n) {
    const char* argument = argv[n];
    if (std::strcmp(argument, "--help") == 0) {
      help = true;
    } else if (std::strcmp(argument, "--version") == 0) {
      version = true;
    } else if (std::strcmp(argument, "--scan") == 0) {
      scan = true;
    } else if (std::strcmp(argument, "--json") == 0) {
      json = true;
    } else if (std::strcmp(argument, "--device") == 0 && n + 1 < argc) {
      devices.emplace_back(argv[++n]);
    } else if (std::strncmp(argument, "--device=", 9) == 0) {
      devices.emplace_back(argument + 9);
    } else if (std::strcmp(argument, "--device") == 0) {
      return Usage("--device needs a path");
    } else {
      std::fprintf(stderr, "sentrova: unknown argument '%s'; see 'sentrova --help'\n",
                   VisibleText(argument).c_str());
      return kNoAnswerStatus;
    }
  }
  if (help) return PrintAndExit(HelpText().c_str());
  if (version) return PrintAndExit("sentrova " SENTROVA_VERSION "\n");
  if (!scan && json) return Usage("--json goes with --scan");
  if (!scan && !devices.empty()) return Usage("--device goes with --scan");

  StartSignalWatch();
  FollowScans(!scan);
  if (scan) return RunScriptScan(json, devices);
  static HINSTANCE__ instance = {0};
  static WCHAR noArguments[] = L"";
  return wWinMain(&instance, nullptr, noArguments, SW_SHOWNORMAL);
}
