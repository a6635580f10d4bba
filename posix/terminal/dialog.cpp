// The dialog calls of the Linux build. DialogBoxParamW runs the one dialog the program
// has, IDD_MAIN, in the terminal: it turns keys into the commands the dialog manager
// would send and PBM_SETPOS into a redraw of the bar. The dialog procedure is the
// program's own, unchanged. Without a terminal nothing is drawn and keys are stdin's
// bytes, so the program also runs from a pipe: `echo | sentrova` scans once.
#include "terminal/terminal.h"

#include "resources/resource.h"
#include "resources/texts.h"
#include "win32/scan_session.h"

#include <algorithm>
#include <commctrl.h>
#include <unistd.h>

// The windows the program can name: the dialog and its three controls that matter.
struct HWND__ {
  int id;
};
struct HDC__ {
  int unused;
};

namespace {

HWND__ gDialogWindow = {0};
HWND__ gDetectButton = {IDOK};
HWND__ gQuitButton = {IDCANCEL};
HWND__ gProgressBar = {IDC_PROGRESS};
HDC__ gPaintContext = {0};

struct DialogState {
  bool running;
  DLGPROC procedure;
  bool ended;
  INT_PTR result;
  bool paintPending;  // the dialog was uncovered (a box closed) since the last WM_PAINT
};

DialogState gDialog = {false, nullptr, false, 0, false};
// The bar's position lives with the control, whether or not the dialog runs.
DialogView gView = {false, 0, false, "", ""};

void Show() {
  if (HaveTerminal()) ShowView(gView);
}

void Send(UINT message, WPARAM wParam, LPARAM lParam) {
  gDialog.procedure(&gDialogWindow, message, wParam, lParam);
}

void SendCommand(int id, HWND control) {
  Send(WM_COMMAND, static_cast<WPARAM>(id), reinterpret_cast<LPARAM>(control));
}

}  // namespace

void InitCommonControls() {}

// A terminal has no hung-window detection to turn off.
void DisableProcessWindowsGhosting() {}

INT_PTR DialogBoxParamW(HINSTANCE instance, LPCWSTR templateName, HWND owner, DLGPROC dialogProc,
                        LPARAM initParam) {
  (void)instance;
  (void)owner;
  // One template exists, and one dialog runs at a time.
  if (templateName != MAKEINTRESOURCEW(IDD_MAIN) || dialogProc == nullptr || gDialog.running) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return -1;
  }
  gDialog = DialogState{true, dialogProc, false, 0, false};
  gView.showDialog = true;
  gView.showBox = false;

  BeginTerminal();
  Show();
  // wParam: the control that gets the focus, the default button.
  Send(WM_INITDIALOG, reinterpret_cast<WPARAM>(&gDetectButton), initParam);
  if (!gDialog.ended) Send(WM_PAINT, 0, 0);

  bool closeSentAtEnd = false;
  while (!gDialog.ended) {
    switch (ReadKey(STDIN_FILENO)) {
      case kKeyEnter:
        // The numbering and the notes belong to the scan this command runs.
        BeginScanSession();
        BeginCaptureNotes();
        SendCommand(IDOK, &gDetectButton);
        EndCaptureNotes();
        EndScanSession();
        break;
      case kKeyClose:
      case kKeyEscape:
        SendCommand(IDCANCEL, &gQuitButton);
        break;
      case kKeyEndOfInput:
        // Once the input has ended no key can come: a procedure that ignores the
        // close request would leave the dialog waiting for ever, so it ends here.
        if (closeSentAtEnd) {
          gDialog.ended = true;
          gDialog.result = IDCANCEL;
          break;
        }
        closeSentAtEnd = true;
        SendCommand(IDCANCEL, &gQuitButton);
        break;
      case kKeyOther:
        break;
    }
    if (!gDialog.ended && gDialog.paintPending) {
      gDialog.paintPending = false;
      Send(WM_PAINT, 0, 0);
    }
  }

  gView.showDialog = false;
  EndTerminal();
  gDialog.running = false;
  return gDialog.result;
}

BOOL EndDialog(HWND dialog, INT_PTR result) {
  if (dialog != &gDialogWindow || !gDialog.running) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  // As on Windows the dialog ends once the procedure returns to the dialog's loop.
  gDialog.ended = true;
  gDialog.result = result;
  return TRUE;
}

HWND GetDlgItem(HWND dialog, int id) {
  if (dialog != &gDialogWindow) return nullptr;
  switch (id) {
    case IDOK:
      return &gDetectButton;
    case IDCANCEL:
      return &gQuitButton;
    case IDC_PROGRESS:
      return &gProgressBar;
    default:
      return nullptr;
  }
}

LRESULT SendMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (window == &gProgressBar && message == PBM_SETPOS) {
    // The position is clamped to the range (0..100, never changed) and the old
    // position comes back, as the common control does.
    int previous = gView.progress;
    gView.progress = std::clamp(static_cast<int>(wParam), 0, 100);
    if (gDialog.running) Show();
    return previous;
  }
  if (window == &gDialogWindow && gDialog.running) {
    return gDialog.procedure(window, message, wParam, lParam);
  }
  return 0;
}

// Nothing is drawn through a device context here: the whole client area, in cells,
// is always valid.
HDC BeginPaint(HWND window, LPPAINTSTRUCT paint) {
  if (window == nullptr || paint == nullptr) return nullptr;
  *paint = PAINTSTRUCT{};
  paint->hdc = &gPaintContext;
  paint->fErase = FALSE;
  paint->rcPaint = RECT{0, 0, kDialogWidth, kDialogRows};
  return paint->hdc;
}

BOOL EndPaint(HWND window, const PAINTSTRUCT* paint) {
  (void)window;
  return paint != nullptr;
}

// With a terminal: a box over the dialog, closed by Enter, Escape or end of input; in a
// terminal too small for the dialog, the plain lines below, closed by the same keys.
// Without one: the line "<caption>: <text>" on stderr, closed by a line or end of input.
int MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type) {
  (void)owner;
  (void)type;
  std::string captionText = WideToUtf8(caption != nullptr ? caption : L"Error");
  std::string bodyText = WideToUtf8(text);
  // The result of a scan: its text stays the first line, byte for byte; what the
  // Linux build adds follows on lines of its own.
  std::vector<std::string> notes;
  if (captionText == SENTROVA_TEXT_COMPLETED) {
    notes = ResultNotes(bodyText, TakeScanFindings(bodyText == SENTROVA_TEXT_NOT_FOUND));
  }
  if (!HaveTerminal()) {
    std::string lines = captionText + ": " + bodyText + "\n";
    for (const std::string& note : notes) lines += note + "\n";
    WriteAllTo(STDERR_FILENO, lines);
    unsigned char byte = 0;
    while (ReadByte(STDIN_FILENO, -1, &byte) > 0 && byte != '\n') {
    }
    return IDOK;
  }

  BeginTerminal();
  // Keys typed during the scan are dropped before the box shows, never after: a key
  // pressed once the box is visible is meant for it.
  DiscardTypeAhead();
  gView.showBox = true;
  gView.boxCaption = captionText;
  gView.boxText = bodyText;
  for (const std::string& note : notes) gView.boxText += "\n" + note;
  Show();
  for (;;) {
    KeyEvent key = ReadKey(STDIN_FILENO);
    if (key == kKeyEnter || key == kKeyEscape || key == kKeyEndOfInput) break;
  }
  gView.showBox = false;
  Show();
  EndTerminal();
  if (gDialog.running) gDialog.paintPending = true;
  return IDOK;
}
