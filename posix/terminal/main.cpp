// The Linux build's entry: the program's own entry is wWinMain, as on Windows. The
// command line is the Linux build's own: --help and --version, as a Linux command
// has them; the program itself takes no argument.
#include "terminal/terminal.h"

#include "resources/texts.h"

#include <csignal>
#include <cstdio>
#include <cstring>

// Any non-null value: the program passes its instance on and never looks inside.
struct HINSTANCE__ {
  int unused;
};

namespace {

// Exit status of a command line the program does not take, as Linux commands use it.
constexpr int kUsageStatus = 2;

const char kHelp[] =
    "Usage: sentrova [--help | --version]\n"
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
    "program uses (gpsd, say) is left untouched and named in the result. The device\n"
    "found is named with its stable link, /dev/serial0 or serial1 on a Raspberry Pi,\n"
    "else in /dev/serial/ when udev made one: the name to give gpsd or other programs.\n"
    "\n"
    "Environment:\n"
    "  SENTROVA_COMDIR   a folder: COMn is the device $SENTROVA_COMDIR/comn links to\n"
    "                    (or is), and only those ports exist\n"
    "\n"
    "Options:\n"
    "  --help            show this help and exit\n"
    "  --version         show the version and exit\n"
    "\n"
    "Exit status: 0 once the dialog is closed, whatever a scan found; 2 for an\n"
    "argument it does not take. See sentrova(1).\n";

// Writes text to stdout; 0, or 1 when it could not be written (a full disk, a closed
// pipe), so a caller of --help or --version learns that it got nothing.
int PrintAndExit(const char* text) {
  bool written = std::fputs(text, stdout) >= 0;
  written = std::fflush(stdout) == 0 && written;
  return written ? 0 : 1;
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
  for (int n = 1; n < argc; ++n) {
    if (std::strcmp(argv[n], "--help") == 0) {
      help = true;
    } else if (std::strcmp(argv[n], "--version") == 0) {
      version = true;
    } else {
      std::fprintf(stderr, "sentrova: unknown argument '%s'; see 'sentrova --help'\n",
                   VisibleText(argv[n]).c_str());
      return kUsageStatus;
    }
  }
  if (help) return PrintAndExit(kHelp);
  if (version) return PrintAndExit("sentrova " SENTROVA_VERSION "\n");

  StartSignalWatch();
  static HINSTANCE__ instance = {0};
  static WCHAR noArguments[] = L"";
  return wWinMain(&instance, nullptr, noArguments, SW_SHOWNORMAL);
}
