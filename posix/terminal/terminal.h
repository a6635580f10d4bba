// The terminal dialog's own helpers behind the Win32 dialog calls: text conversion,
// the dialog's layout as a grid of cells, key decoding and the terminal session.
#pragma once

#include <windows.h>

#include "terminal/capture_notes.h"
#include "win32/port_notes.h"
#include "win32/usb_adapters.h"

#include <string>
#include <vector>

// ---- text ------------------------------------------------------------------
// Appends one code point as UTF-8 (U+FFFD for what is no code point).
void AppendUtf8(std::string& out, char32_t codePoint);
// A wide string (UTF-32 here, UTF-16 surrogate pairs tolerated) as UTF-8.
std::string WideToUtf8(LPCWSTR text);
// Decodes one code point from UTF-8 at text[*at], moving *at past it; an invalid or
// cut sequence gives U+FFFD and moves one byte.
char32_t NextUtf8(const char* text, size_t length, size_t* at);
// Text from outside the program (a process's name, a link, a device path) as it may
// be shown: control characters (C0, DEL, C1) and bytes that are no UTF-8 become
// visible escapes such as \x1b, so nobody can drive the terminal through them.
std::string VisibleText(const std::string& text);
// The number of characters wsprintfW could produce at most, the terminating null
// included, as Windows limits it.
constexpr int kWsprintfLimit = 1024;

// ---- layout ----------------------------------------------------------------
struct Cell {
  char32_t ch;
  bool inverse;  // the focused button
};
typedef std::vector<Cell> CellRow;

// What the dialog shows at one moment.
struct DialogView {
  bool showDialog;        // the dialog itself (false: a message box on its own)
  int progress;           // 0..100
  bool showBox;           // a message box over the dialog
  std::string boxCaption; // UTF-8
  std::string boxText;    // UTF-8
};

constexpr int kDialogWidth = 50;  // the longest result fits a box on one line
constexpr int kDialogRows = 12;

// Lays the view out in rows of kDialogWidth cells; returns the rows and, through
// focusRow and focusColumn, where the focus is: the buttons' row, or a message box's
// [ OK ] row and the box's left column.
std::vector<CellRow> ComposeDialog(const DialogView& view, int* focusRow, int* focusColumn);
// Cells first to first + width - 1 of a row as UTF-8, the inverse cells marked by
// SGR 7.
std::string RenderRow(const CellRow& row, int first, int width);
// One row as plain UTF-8, attributes dropped (for tests and logs).
std::string PlainRow(const CellRow& row);

// ---- keys ------------------------------------------------------------------
enum KeyEvent { kKeyEnter, kKeyClose, kKeyEscape, kKeyOther, kKeyEndOfInput };

// Blocks until one key arrives on fd and classifies it: Enter ('\r', '\n', 'd'), a
// close request ('q', Ctrl-D), a lone Escape, end of input (also a read error), or
// anything else, escape sequences such as arrow keys included.
KeyEvent ReadKey(int fd);
// Reads one byte, waiting at most timeoutMs (-1: for ever). 1: got it, 0: timed
// out, -1: end of input.
int ReadByte(int fd, int timeoutMs, unsigned char* byte);

// ---- the terminal session --------------------------------------------------
// True when stdin and stderr are both terminals (and TERM is not "dumb"): the dialog
// is drawn and keys are read raw. Decided once.
bool HaveTerminal();
// Takes the terminal: raw keys, and the dialog's rows reserved at the bottom below a
// scroll region for the log where the dialog fits. Nests; harmless without a terminal.
void BeginTerminal();
// Gives the terminal back as it was found, when the outermost session ends.
void EndTerminal();
// Shows the view; redraws only when it differs from what is on the terminal. Where
// the dialog does not fit, nothing is drawn and a box goes out as the plain lines
// MessageBoxW writes without a terminal.
void ShowView(const DialogView& view);
// Writes all of text to fd, again after an interrupted write; false when fd took
// less (a closed pipe, a full disk, a terminal gone).
bool WriteAllTo(int fd, const std::string& text);
// Discards keys typed ahead, so a key pressed during a scan cannot close a box unseen.
void DiscardTypeAhead();
// Blocks SIGINT, SIGTERM, SIGHUP, SIGQUIT and SIGWINCH in every thread to come and
// handles them on a thread of their own: a resize redraws, the others close the open
// ports, give the terminal back and end the process by the same signal.
void StartSignalWatch();

// ---- the result's notes ----------------------------------------------------
// What a scan learnt beside its result: the ports it could not open and, when it
// found nothing, what the ports that answered held and the USB serial adapters that
// have no port (with whether brltty is installed, and its udev rule).
struct ScanFindings {
  std::vector<PortNote> ports;
  std::vector<SeenPort> seen;
  std::vector<PortlessAdapter> adapters;
  bool brltty;
  std::string brlttyRule;
};
// Takes the notes the scan made; the seen ports and the adapters only when it found
// nothing (foundNothing), and the adapters only when the ports are the machine's
// (no SENTROVA_COMDIR), under the numbering's root. Inside the scan's session.
ScanFindings TakeScanFindings(bool foundNothing);

// The lines the Linux build shows under a scan's result text: for a receiver found,
// which device the port is; for ports refused for lack of permission, which ones,
// their group and how to join it; for busy ports, which program holds them; then
// what the ports that answered held, and the adapters without a port.
// foundPort is the port found, 0 when none was.
std::vector<std::string> ScanResultNotes(int32_t foundPort, const ScanFindings& findings);
// The same for a result box's text, whose port is read from the text.
std::vector<std::string> ResultNotes(const std::string& result, const ScanFindings& findings);

// Where the port found is: its path in the scan's numbering, the device that is
// (links resolved) and the device's stable udev link ("" when it has none). Raw
// text from outside, to be passed through VisibleText before it is shown.
struct FoundDevice {
  std::string path;
  std::string device;
  std::string stable;
};
bool FindFoundDevice(int32_t port, FoundDevice* found);

// ---- the scan for scripts --------------------------------------------------
// `sentrova --scan`: one scan, no dialog; the log on stdout (on stderr with json),
// the result lines on stderr as without a terminal, and with json one object on
// stdout at the end. devices: the paths given with --device, none for every port.
// Returns the exit status: 0 found, 1 none found, 2 bad usage or no scan possible.
int RunScriptScan(bool json, const std::vector<std::string>& devices);
// The JSON object of a finished scan, on one line.
std::string ScanResultJson(bool found, int32_t port, uint32_t rate, const ScanFindings& findings);
