#include "tests/shell/recorder.h"

#include <commctrl.h>

#include <cstdarg>
#include <cwchar>
#include <new>

std::vector<Call> gCalls;
ScanScript gScanScript;
INT_PTR gDialogResult = 0;
int gLiveContexts = 0;

static ScanContext* gCreated = nullptr;

static Call MakeCall(CallKind kind, HWND window) {
  Call call{};
  call.kind = kind;
  call.window = window;
  return call;
}

void ResetRecorder() {
  gCalls.clear();
  gScanScript = ScanScript{false, {}, false, 0, 0};
  gDialogResult = 0;
}

std::vector<int32_t> BarPositions(HWND bar) {
  std::vector<int32_t> positions;
  for (const Call& call : gCalls) {
    if (call.kind == kSendMessage && call.window == bar && call.message == PBM_SETPOS)
      positions.push_back(static_cast<int32_t>(call.first));
  }
  return positions;
}

std::vector<Call> CallsOf(CallKind kind) {
  std::vector<Call> calls;
  for (const Call& call : gCalls)
    if (call.kind == kind) calls.push_back(call);
  return calls;
}

// ---- the dialog functions -------------------------------------------------

void DisableProcessWindowsGhosting() {
  gCalls.push_back(MakeCall(kDisableProcessWindowsGhosting, nullptr));
}

void InitCommonControls() { gCalls.push_back(MakeCall(kInitCommonControls, nullptr)); }

INT_PTR DialogBoxParamW(HINSTANCE instance, LPCWSTR templateName, HWND owner, DLGPROC dialogProc,
                        LPARAM initParam) {
  Call call = MakeCall(kDialogBoxParam, owner);
  call.first = initParam;
  call.pointer = templateName;
  call.extra = instance;
  call.second = reinterpret_cast<intptr_t>(dialogProc);
  gCalls.push_back(call);
  return gDialogResult;
}

BOOL EndDialog(HWND dialog, INT_PTR result) {
  Call call = MakeCall(kEndDialog, dialog);
  call.first = result;
  gCalls.push_back(call);
  return TRUE;
}

HWND GetDlgItem(HWND dialog, int id) {
  if (id != 1000) return nullptr;
  if (dialog == kDialogA) return kProgressOfA;
  if (dialog == kDialogB) return kProgressOfB;
  return nullptr;
}

LRESULT SendMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  Call call = MakeCall(kSendMessage, window);
  call.message = message;
  call.first = static_cast<intptr_t>(wParam);
  call.second = lParam;
  gCalls.push_back(call);
  return 0;
}

HDC BeginPaint(HWND window, LPPAINTSTRUCT paint) {
  Call call = MakeCall(kBeginPaint, window);
  call.pointer = paint;
  gCalls.push_back(call);
  paint->hdc = reinterpret_cast<HDC>(uintptr_t{0xDC});
  return paint->hdc;
}

BOOL EndPaint(HWND window, const PAINTSTRUCT* paint) {
  Call call = MakeCall(kEndPaint, window);
  call.pointer = paint;
  gCalls.push_back(call);
  return TRUE;
}

// wsprintfW writes at most 1024 characters.
int wsprintfW(LPWSTR buffer, LPCWSTR format, ...) {
  va_list arguments;
  va_start(arguments, format);
  int written = std::vswprintf(buffer, 1024, format, arguments);
  va_end(arguments);
  return written;
}

int MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type) {
  Call call = MakeCall(kMessageBox, owner);
  call.first = type;
  call.text = text;
  call.caption = caption;
  gCalls.push_back(call);
  return IDOK;
}

// ---- the scripted scan ----------------------------------------------------

// Allocated as the real one is, so AddressSanitizer sees a context the shell leaks
// or frees twice.
ScanContext* CreateScanContext(ProgressCallback progress) {
  Call call = MakeCall(kCreateScanContext, nullptr);
  call.extra = reinterpret_cast<const void*>(progress);
  if (gScanScript.failAllocation) {
    gCalls.push_back(call);
    return nullptr;
  }
  ScanContext* context = new ScanContext{};
  context->captureBuffer = new unsigned char[kCaptureBufferSize]();
  context->portHandle = INVALID_HANDLE_VALUE;
  context->progress = progress;
  call.pointer = context;
  gCalls.push_back(call);
  gCreated = context;
  ++gLiveContexts;
  return context;
}

void DestroyScanContext(ScanContext* context) {
  Call call = MakeCall(kDestroyScanContext, nullptr);
  call.pointer = context;
  gCalls.push_back(call);
  if (context == nullptr) return;
  delete[] context->captureBuffer;
  delete context;
  --gLiveContexts;
}

bool ScanForReceiver(ScanContext* context, int32_t* port, uint32_t* rate) {
  Call call = MakeCall(kScanForReceiver, nullptr);
  call.pointer = context;
  gCalls.push_back(call);
  if (context != gCreated || context->progress == nullptr) return false;
  for (int32_t value : gScanScript.progress) context->progress(value);
  if (!gScanScript.found) return false;
  *port = gScanScript.port;
  *rate = gScanScript.rate;
  return true;
}
