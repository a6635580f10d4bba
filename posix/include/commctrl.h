// Common controls of the Linux build: the progress bar the dialog shows.
#pragma once

#include <windows.h>

#define PROGRESS_CLASSW L"msctls_progress32"
#define PBM_SETPOS (WM_USER + 2)

void InitCommonControls();
