// A dialog procedure of the tests' own, run in the terminal dialog by the real main():
// Detect prints ten log lines while the bar moves, checks what PBM_SETPOS gives back,
// and shows a box. The messages it receives are written to the file named by
// PROBE_TRACE, one a line, so a test can check their order.
#include "resources/resource.h"
#include "policy/port_numbering.h"

#include <commctrl.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>

namespace {

HWND gDialog = nullptr;
int gPosition = 0;
bool gSetPosOk = true;

void Trace(const char* text) {
  const char* path = std::getenv("PROBE_TRACE");
  if (path == nullptr) return;
  if (FILE* file = std::fopen(path, "a")) {
    std::fprintf(file, "%s\n", text);
    std::fclose(file);
  }
}

// Sets the bar and checks that the previous position comes back.
void SetBar(int position, int expectedPrevious) {
  LRESULT previous = SendMessageW(GetDlgItem(gDialog, IDC_PROGRESS), PBM_SETPOS, static_cast<WPARAM>(position), 0);
  if (previous != expectedPrevious) gSetPosOk = false;
}

void RunFakeScan() {
  SetBar(0, gPosition);
  for (int step = 1; step <= 10; ++step) {
    std::printf("probe step %d\n", step);
    std::fflush(stdout);
    SetBar(step * 10, (step - 1) * 10);
  }
  SetBar(250, 100);     // clamped to 100
  SetBar(-5, 100);      // clamped to 0
  SetBar(42, 0);
  gPosition = 42;
  WCHAR text[64];
  wsprintfW(text, L"Probe done, bar %s", gSetPosOk ? L"ok" : L"WRONG");
  MessageBoxW(gDialog, text, L"Completed", MB_OK);
}

INT_PTR CALLBACK ProbeProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      gDialog = window;
      Trace(lParam == 7 ? "init 7" : "init");
      return TRUE;
    case WM_PAINT: {
      PAINTSTRUCT paint;
      HDC context = BeginPaint(window, &paint);
      Trace(context != nullptr && paint.hdc == context ? "paint" : "paint WRONG");
      EndPaint(window, &paint);
      return FALSE;
    }
    case WM_COMMAND:
      if (LOWORD(wParam) == IDOK) {
        // The dialog knows no scan: the numbering is the scan's own, taken when the
        // detection core starts one, never around a command.
        Trace(PortNumberingHeld() ? "command 1, ports numbered by the dialog" : "command 1");
        RunFakeScan();
      } else if (LOWORD(wParam) == IDCANCEL) {
        Trace(PortNumberingHeld() ? "command 2, ports still numbered" : "command 2");
        // PROBE_STUBBORN: a procedure that ignores the close request.
        if (std::getenv("PROBE_STUBBORN") == nullptr) EndDialog(window, 5);
      }
      return TRUE;
    default:
      return FALSE;
  }
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int) {
  InitCommonControls();
  INT_PTR result = DialogBoxParamW(instance, MAKEINTRESOURCEW(IDD_MAIN), nullptr, ProbeProc, 7);
  char line[32];
  std::snprintf(line, sizeof line, "result %d", static_cast<int>(result));
  Trace(line);
  return static_cast<int>(result) == 5 ? 0 : 3;
}
