// The Linux build's entry: the program's own entry is wWinMain, as on Windows. The
// command line is the Linux build's own: --help and --version, as a Linux command
// has them, and --scan for scripts; the dialog itself takes no argument.
#include "terminal/terminal.h"

#include "resources/texts.h"

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

// Exit status of a command line the program does not take, as Linux commands use it.
constexpr int kUsageStatus = 2;

const char kHelp[] =
    "Usage: sentrova [--help | --version]\n"
    "       sentrova --scan [--json] [--device PATH]...\n"
    "\n"
    "Finds the serial port and baud rate of an attached GPS receiver: scans COM1 to\n"
    "COM255 at 4800, 9600, 19200, 38400, 57600 and 115200 bit/s and reports the first\n"
    "port and rate that deliver an NMEA sentence of the GP talker, with the device the\n"
    "port is. Each step is logged on standard output.\n"
    "\n"
    "In a terminal the dialog is drawn at its bottom, the log scrolling above it.\n"
    "  Enter, d              scan (the dialog waits until the scan is over)\n"
    "  Escape, q, Ctrl-D     quit\n"
    "Without a terminal (stdin or stderr not one) keys come from stdin: a line runs a\n"
    "scan and closes its result, end of input quits. The result goes to stderr as\n"
    "\"Completed: <result>\" and the lines that explain it, e.g.\n"
    "  echo | sentrova > scan.log\n"
    "\n"
    "COM ports are numbered as Wine numbers them: the device nodes /dev/ttyS0,\n"
    "/dev/ttyS1, ... then /dev/ttyUSB0, ... then /dev/ttyACM0, ..., each series while\n"
    "its nodes exist, are COM1, COM2, ... in that order. Then the boards' UARTs the\n"
    "kernel backs with a device, in this order: ttyAMA, ttySC, ttymxc, ttyLP, ttyO,\n"
    "ttySAC, ttyMSM, ttyTHS, ttyAML, ttyPS, ttySTM, ttyMV; then /dev/rfcomm*\n"
    "(Bluetooth); each series in number order, gaps and all, a device counted once.\n"
    "The numbers are taken when a scan starts and held until it ends. A port another\n"
    "program uses is left untouched and named in the result. A running gpsd is asked\n"
    "(on its -S port, else 2947) which devices it has open: those are busy too, shown\n"
    "with the speed gpsd reads them at. The device found is named with its stable\n"
    "link, /dev/serial0 or serial1 on a Raspberry Pi, else in /dev/serial/ when udev\n"
    "made one: the name to give gpsd or other programs. When none is found, the\n"
    "result says what each port that answered sent (NMEA of other talkers, a\n"
    "receiver in UBX or SiRF binary mode, ...) and names USB serial adapters that\n"
    "have no port (brltty takes some).\n"
    "\n"
    "Environment:\n"
    "  SENTROVA_COMDIR   a folder: COMn is the device $SENTROVA_COMDIR/comn links to\n"
    "                    (or is), and only those ports exist\n"
    "\n"
    "Options:\n"
    "  --scan            scan once without the dialog, terminal or not: the log on\n"
    "                    stdout, the result lines on stderr, the answer in the exit\n"
    "                    status\n"
    "  --json            with --scan: one JSON object on stdout when the scan ends,\n"
    "                    the log on stderr; fields found, port, rate, device,\n"
    "                    stable_path, busy, refused, seen, adapters_without_port,\n"
    "                    version (see sentrova(1))\n"
    "  --device PATH     with --scan: scan only this device (a link such as\n"
    "                    /dev/serial/by-id/... counts as its device), at all six\n"
    "                    rates; repeatable. A PATH that is no COM port is refused\n"
    "                    unopened\n"
    "  --help            show this help and exit\n"
    "  --version         show the version and exit\n"
    "\n"
    "In a script:\n"
    "  dev=$(sentrova --scan --json 2>/dev/null | jq -r '.stable_path // .device')\n"
    "  sentrova --scan --device /dev/ttyUSB0 >/dev/null 2>&1 && echo receiver\n"
    "\n"
    "Exit status: the dialog, 0 once closed, whatever a scan found. --scan: 0 a\n"
    "receiver was found, 1 none was, 128+N when ended by signal N (130 for Ctrl-C),\n"
    "its open port closed first. 2 for an argument it does not take, a --device\n"
    "that is no COM port, or no scan possible. See sentrova(1).\n";

// Writes text to stdout; 0, or 1 when it could not be written (a full disk, a closed
// pipe), so a caller of --help or --version learns that it got nothing.
int PrintAndExit(const char* text) {
  bool written = std::fputs(text, stdout) >= 0;
  written = std::fflush(stdout) == 0 && written;
  return written ? 0 : 1;
}

int Usage(const char* problem) {
  std::fprintf(stderr, "sentrova: %s; see 'sentrova --help'\n", problem);
  return kUsageStatus;
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
      return kUsageStatus;
    }
  }
  if (help) return PrintAndExit(kHelp);
  if (version) return PrintAndExit("sentrova " SENTROVA_VERSION "\n");
  if (!scan && json) return Usage("--json goes with --scan");
  if (!scan && !devices.empty()) return Usage("--device goes with --scan");

  StartSignalWatch();
  if (scan) return RunScriptScan(json, devices);
  static HINSTANCE__ instance = {0};
  static WCHAR noArguments[] = L"";
  return wWinMain(&instance, nullptr, noArguments, SW_SHOWNORMAL);
}
