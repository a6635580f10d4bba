// A recording stand-in for the dialog functions and a scripted scan, so the shell's
// dialog procedure, Detect command and entry can be checked call by call on Linux.
#pragma once

#include <windows.h>

#include "detect/scan_context.h"

#include <cstdint>
#include <string>
#include <vector>

// Handles the stand-in hands out; GetDlgItem knows only the progress bar of these.
inline HWND const kDialogA = reinterpret_cast<HWND>(uintptr_t{0xD1A10A});
inline HWND const kDialogB = reinterpret_cast<HWND>(uintptr_t{0xD1A10B});
inline HWND const kProgressOfA = reinterpret_cast<HWND>(uintptr_t{0xBA5A});
inline HWND const kProgressOfB = reinterpret_cast<HWND>(uintptr_t{0xBA5B});
inline HINSTANCE const kInstance = reinterpret_cast<HINSTANCE>(uintptr_t{0x400000});

enum CallKind {
  kDisableProcessWindowsGhosting,
  kInitCommonControls,
  kDialogBoxParam,
  kEndDialog,
  kSendMessage,
  kBeginPaint,
  kEndPaint,
  kMessageBox,
  kCreateScanContext,
  kScanForReceiver,
  kDestroyScanContext,
};

struct Call {
  CallKind kind;
  HWND window;          // target, owner or dialog
  UINT message;         // kSendMessage
  intptr_t first;       // wParam, EndDialog's result, MessageBoxW's type, DialogBoxParamW's init value
  intptr_t second;      // lParam
  const void* pointer;  // PAINTSTRUCT, context, template name or dialog procedure
  const void* extra;    // DialogBoxParamW's instance, CreateScanContext's callback
  std::wstring text;
  std::wstring caption;
};

// What the scripted scan does when OnDetect calls it.
struct ScanScript {
  bool failAllocation;
  std::vector<int32_t> progress;  // values reported through the context's callback
  bool found;
  int32_t port;
  uint32_t rate;
};

extern std::vector<Call> gCalls;
extern ScanScript gScanScript;
extern INT_PTR gDialogResult;  // what DialogBoxParamW returns
extern int gLiveContexts;      // created and not yet destroyed

void ResetRecorder();
// The positions sent to a progress bar with PBM_SETPOS, in order.
std::vector<int32_t> BarPositions(HWND bar);
std::vector<Call> CallsOf(CallKind kind);
