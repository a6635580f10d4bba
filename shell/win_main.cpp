#include "resources/resource.h"
#include "shell/main_dialog.h"

#include <commctrl.h>

// The program's entry: one modal dialog. The command line and show state are not
// used, and the exit code is 0 however the dialog ended.
int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, LPWSTR commandLine, int showCommand) {
  (void)previous;
  (void)commandLine;
  (void)showCommand;
  // The scan runs on the dialog's thread and takes no message for minutes; without
  // this, Windows would take the dialog for hung after 5 s and put a frozen "ghost"
  // copy over it, hiding the progress bar that follows the scan.
  DisableProcessWindowsGhosting();
  InitCommonControls();  // registers the progress bar class before the dialog needs it
  DialogBoxParamW(instance, MAKEINTRESOURCEW(IDD_MAIN), nullptr, MainDialogProc, 0);
  return 0;
}
