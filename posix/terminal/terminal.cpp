// The terminal session: the dialog stays whole in the bottom rows while the log that
// the program prints on stdout scrolls above it, in a scroll region, as apt draws its
// progress line. The cursor is left in the scroll region so the log lands there; the
// dialog is drawn between a save and a restore of the cursor. Keys are read raw, one
// at a time. Every way out (the end of the dialog, exit, a fatal signal) gives the
// terminal back as it was: its modes, no scroll region, the cursor shown, the dialog's
// rows cleared.
//
// A terminal smaller than the dialog (see ReservedRows) gets none of it drawn, never a
// clipped box: no scroll region, the log as it comes and a box as the plain lines a
// terminal without cursor control gets. Keys stay raw there and mean what they mean in
// the dialog; a box waits for its key as a drawn one does. A resize switches between
// the two whole, and every way out gives the terminal back alike from either.
#include "terminal/terminal.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <pthread.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr int kFallbackRows = 24;
constexpr int kFallbackColumns = 80;
// One lock for the session: the dialog's thread and the signal watch both draw, and
// a drawing must never be cut by another or by the restore on a signal.
std::mutex gMutex;
int gDepth = 0;          // nested sessions (a message box inside the dialog)
bool gActive = false;    // raw mode and the scroll region are in force
termios gSavedModes;     // stdin's modes as found
int gRows = 0;           // the terminal's size the layout was made for
int gColumns = 0;
int gReserved = 0;       // bottom rows that belong to the dialog
DialogView gView = {false, 0, false, "", ""};
bool gHaveView = false;
std::string gDrawn;      // the last frame written, to skip redrawing the same
bool gAtExitSet = false;

// A terminal that is gone takes nothing more: what is left is dropped.
void WriteAll(const std::string& text) { WriteAllTo(STDERR_FILENO, text); }

void ReadSize(int* rows, int* columns) {
  winsize size = {};
  if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_row > 0 && size.ws_col > 0) {
    *rows = size.ws_row;
    *columns = size.ws_col;
  } else {
    *rows = kFallbackRows;
    *columns = kFallbackColumns;
  }
}

// The dialog fits a terminal of kDialogWidth columns or more and of kDialogRows rows
// plus two for the log, since a terminal ignores a scroll region of one row (its top
// must be above its bottom); it then takes the bottom kDialogRows. Anything smaller
// reserves nothing: the plain lines.
int ReservedRows(int rows, int columns) {
  return columns >= kDialogWidth && rows >= kDialogRows + 2 ? kDialogRows : 0;
}

std::string Format(const char* format, int a) {
  char text[32];
  std::snprintf(text, sizeof text, format, a);
  return text;
}

std::string Format(const char* format, int a, int b) {
  char text[32];
  std::snprintf(text, sizeof text, format, a, b);
  return text;
}

// Makes room below the cursor by scrolling, then fences the log into the rows above
// the dialog. Setting a scroll region homes the cursor, hence the save and restore;
// the cursor then goes back up into the region.
std::string ReserveSequence(int rows, int reserved) {
  std::string out(reserved, '\n');
  if (reserved > 0) {
    out += "\0337" + Format("\033[1;%dr", rows - reserved) + "\0338";
    out += Format("\033[%dA", reserved);
  }
  return out;
}

// A box where the dialog does not fit: "<caption>: <text>" and the text's further
// lines, the bytes MessageBoxW writes without a terminal.
std::string BoxLines(const DialogView& view) { return view.boxCaption + ": " + view.boxText + "\n"; }

void DrawLocked(bool force) {
  if (!gActive || !gHaveView || gReserved == 0) return;
  int focusRow = 0;
  int focusColumn = 0;
  std::vector<CellRow> grid = ComposeDialog(gView, &focusRow, &focusColumn);
  int left = (gColumns - kDialogWidth) / 2 + 1;
  std::string frame = "\0337\033[?25l";
  for (int n = 0; n < kDialogRows; ++n) {
    int row = gRows - kDialogRows + 1 + n;
    frame += Format("\033[%d;1H\033[2K", row) + Format("\033[%d;%dH", row, left);
    frame += RenderRow(grid[n], 0, kDialogWidth);
  }
  frame += "\0338";
  if (!force && frame == gDrawn) return;
  gDrawn = frame;
  std::fflush(stdout);  // what the log has written so far goes above the dialog
  WriteAll(frame);
}

void RestoreLocked() {
  if (!gActive) return;
  std::fflush(stdout);
  // Back to the log's cursor, then clear everything below it: the dialog's rows.
  WriteAll("\0337\033[r\0338\033[J\033[0m\033[?25h");
  tcsetattr(STDIN_FILENO, TCSANOW, &gSavedModes);
  gActive = false;
  gDrawn.clear();
}

void RestoreAtExit() {
  std::lock_guard<std::mutex> lock(gMutex);
  RestoreLocked();
}

// A new size. A box shows in one form at a time: drawn where the dialog fits, as
// lines where it does not. Still too small: nothing drawn to move. It fits again:
// room is made below the log's cursor as at the start, and the dialog is drawn with
// the box it shows; its lines stay in the log above. It no longer fits: the region
// goes, then everything below the log's cursor, which holds every row of the dialog
// however the terminal moved the lines; a box showing goes out as lines again, since
// its earlier ones may have scrolled away and it waits for a key. It still fits: the
// region and the dialog's rows move to the new bottom; a terminal that shrank may have
// pushed the log's cursor below the new region, and the log then goes on from the
// region's last row.
void ResizeLocked() {
  if (!gActive) return;
  int rows = 0;
  int columns = 0;
  ReadSize(&rows, &columns);
  if (rows == gRows && columns == gColumns) return;
  int reserved = ReservedRows(rows, columns);
  std::string out;
  if (gReserved == 0) {
    out = ReserveSequence(rows, reserved);
  } else if (reserved == 0) {
    out = "\0337\033[r\0338\033[J\033[?25h";
    if (gHaveView && gView.showBox) out += BoxLines(gView);
  } else {
    int oldTop = gRows - gReserved + 1;
    int top = rows - reserved + 1;
    out = "\0337\033[r";
    out += Format("\033[%d;1H\033[J", std::min(oldTop, top));
    out += Format("\033[1;%dr", rows - reserved);
    if (rows >= gRows) {
      out += "\0338";
    } else {
      out += Format("\033[%d;1H\n", rows - reserved);
    }
  }
  std::fflush(stdout);
  WriteAll(out);
  gRows = rows;
  gColumns = columns;
  gReserved = reserved;
  DrawLocked(true);
}

}  // namespace

bool HaveTerminal() {
  static int decided = -1;
  if (decided < 0) {
    const char* term = std::getenv("TERM");
    bool dumb = term != nullptr && std::strcmp(term, "dumb") == 0;
    decided = isatty(STDIN_FILENO) && isatty(STDERR_FILENO) && !dumb ? 1 : 0;
  }
  return decided == 1;
}

bool WriteAllTo(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t wrote = write(fd, text.data() + done, text.size() - done);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) return false;
    done += static_cast<size_t>(wrote);
  }
  return true;
}

void BeginTerminal() {
  std::lock_guard<std::mutex> lock(gMutex);
  if (gDepth++ > 0 || !HaveTerminal()) return;
  if (tcgetattr(STDIN_FILENO, &gSavedModes) != 0) return;
  // Keys one at a time without echo. Ctrl-C and Ctrl-\ still raise their signals
  // (the signal thread restores the terminal); Ctrl-Z is switched off, since a
  // stopped dialog would leave its scroll region behind for the shell.
  termios raw = gSavedModes;
  raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | IEXTEN);
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  raw.c_cc[VSUSP] = _POSIX_VDISABLE;
  if (tcsetattr(STDIN_FILENO, TCSANOW, &raw) != 0) return;
  if (!gAtExitSet) {
    std::atexit(RestoreAtExit);
    gAtExitSet = true;
  }
  gActive = true;
  ReadSize(&gRows, &gColumns);
  gReserved = ReservedRows(gRows, gColumns);
  std::fflush(stdout);
  WriteAll(ReserveSequence(gRows, gReserved));
  DrawLocked(true);
}

void EndTerminal() {
  std::lock_guard<std::mutex> lock(gMutex);
  if (gDepth == 0 || --gDepth > 0) return;
  RestoreLocked();
  gHaveView = false;
}

void ShowView(const DialogView& view) {
  std::lock_guard<std::mutex> lock(gMutex);
  bool boxAppears = view.showBox && !(gHaveView && gView.showBox);
  gView = view;
  gHaveView = true;
  if (gActive && gReserved == 0 && boxAppears) {
    std::fflush(stdout);  // after the log so far
    WriteAll(BoxLines(gView));
  }
  DrawLocked(false);
}

void ResizeTerminal() {
  std::lock_guard<std::mutex> lock(gMutex);
  ResizeLocked();
}

void ReleaseTerminalForExit() {
  gMutex.lock();  // kept: nothing may draw again
  RestoreLocked();
}

void DiscardTypeAhead() {
  std::lock_guard<std::mutex> lock(gMutex);
  if (gActive) tcflush(STDIN_FILENO, TCIFLUSH);
}
