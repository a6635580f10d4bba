#include "shell/main_dialog.h"

HWND gMainDialog = nullptr;

// Command 1 comes from the Detect button and from Enter (Detect is the default
// button); command 2 from Quit, Escape and a close request, which the dialog manager
// turns into IDCANCEL. Every command is handled; no other message is.
INT_PTR CALLBACK MainDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  (void)lParam;
  switch (message) {
    case WM_INITDIALOG:
      gMainDialog = window;
      return TRUE;  // the dialog manager then gives the focus to Detect
    case WM_PAINT: {
      PAINTSTRUCT paint;
      BeginPaint(window, &paint);
      EndPaint(window, &paint);
      return FALSE;
    }
    case WM_COMMAND:
      switch (LOWORD(wParam)) {
        case IDOK:
          OnDetect();
          break;
        case IDCANCEL:
          EndDialog(window, IDCANCEL);
          break;
        default:
          break;
      }
      return TRUE;
    default:
      return FALSE;
  }
}
