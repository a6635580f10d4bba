// The main dialog: its procedure, the Detect command and the progress callback.
#pragma once

#include <windows.h>

#include <cstdint>

// The main dialog window, stored when the dialog is initialised.
extern HWND gMainDialog;

INT_PTR CALLBACK MainDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
// Runs one whole scan on the dialog's thread and shows its result.
void OnDetect();
// The scan's progress callback: moves the dialog's progress bar.
void ReportProgress(int32_t percent);
