// The per-scan record that a scan carries from attempt to attempt, and the part of
// it that the capture reader shares with the scan driver.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>

constexpr int32_t kCaptureBufferSize = 2048;
constexpr int32_t kCaptureLimit = 2047;  // the reader stores at most this many bytes
constexpr int32_t kProbeTries = 100;
// The liveness test's tries are spread over this span: longer than the idle part of a
// 1 Hz receiver's second (see PortIsAlive).
constexpr DWORD kLivenessSpanMs = 1250;
constexpr DWORD kPortEventMask = 0x1BD;
static_assert(kPortEventMask ==
              (EV_RXCHAR | EV_TXEMPTY | EV_CTS | EV_DSR | EV_RLSD | EV_ERR | EV_RING));

// Called by the scan with a whole percentage, 0 to 100, on the scanning thread.
typedef void (*ProgressCallback)(int32_t percent);

// The UTF-16 device path of a port ("COM9:", "\\.\COM10").
struct PortName {
  WCHAR text[16];
};

// Shared with the reader thread, which gets its address.
struct CaptureBlock {
  unsigned char* buffer;
  std::atomic<HANDLE> portHandle;  // the reader's copy; INVALID_HANDLE_VALUE is the stop signal
  std::atomic<int32_t> count;      // bytes stored so far
};

struct ScanContext {
  HANDLE portHandle;
  HANDLE readerThread;
  int32_t portOpen;
  CaptureBlock capture;
  unsigned char* captureBuffer;  // kCaptureBufferSize bytes
  ProgressCallback progress;
};

// Allocates a context in its starting state with its capture buffer; nullptr when
// memory runs out. DestroyScanContext frees the buffer, then the context.
ScanContext* CreateScanContext(ProgressCallback progress);
void DestroyScanContext(ScanContext* context);
