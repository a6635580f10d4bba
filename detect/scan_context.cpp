#include "detect/scan_context.h"

#include <new>

ScanContext* CreateScanContext(ProgressCallback progress) {
  ScanContext* context = new (std::nothrow) ScanContext{};
  if (context == nullptr) return nullptr;
  context->captureBuffer = new (std::nothrow) unsigned char[kCaptureBufferSize]();
  if (context->captureBuffer == nullptr) {
    delete context;
    return nullptr;
  }
  context->portHandle = INVALID_HANDLE_VALUE;
  context->readerThread = nullptr;
  context->portOpen = 0;
  context->capture.buffer = nullptr;
  context->capture.portHandle.store(INVALID_HANDLE_VALUE);
  context->capture.count.store(0);
  context->progress = progress;
  return context;
}

void DestroyScanContext(ScanContext* context) {
  if (context == nullptr) return;
  delete[] context->captureBuffer;
  delete context;
}
