#include "detect/port_probe.h"

#include "detect/log.h"

namespace {

constexpr DWORD kReaderEndPollMs = 20;

// Applies 8N1 at the given rate, no flow control, DTR and RTS raised, to the DCB
// the port reported; every field not set here keeps the port's own value. On the
// flag word this is (flags & 0xFFFF9093) | 0x1093.
void ApplyLineSettings(DCB* dcb, uint32_t rate) {
  dcb->BaudRate = rate;
  dcb->ByteSize = 8;
  dcb->Parity = NOPARITY;
  dcb->StopBits = ONESTOPBIT;
  dcb->fBinary = 1;
  dcb->fParity = 1;
  dcb->fOutxCtsFlow = 0;
  dcb->fOutxDsrFlow = 0;
  dcb->fDtrControl = DTR_CONTROL_ENABLE;
  dcb->fDsrSensitivity = 0;
  dcb->fTXContinueOnXoff = 1;
  dcb->fOutX = 0;
  dcb->fInX = 0;
  dcb->fErrorChar = 0;
  dcb->fNull = 0;
  dcb->fRtsControl = RTS_CONTROL_ENABLE;
  dcb->fAbortOnError = 0;
}

// With these a one-byte read returns within a few milliseconds, with or without
// a byte, so the reader sees the stop signal promptly.
void ApplyTimeouts(COMMTIMEOUTS* timeouts) {
  timeouts->ReadIntervalTimeout = MAXDWORD;
  timeouts->ReadTotalTimeoutMultiplier = 1;
  timeouts->ReadTotalTimeoutConstant = 1;
  timeouts->WriteTotalTimeoutMultiplier = 1;
  timeouts->WriteTotalTimeoutConstant = 1;
}

// True when one of kProbeTries one-byte reads delivers a byte, which is dropped.
//
// A receiver talks once a second (its 1 Hz default) and its line is idle between
// bursts, 0.96 s of every second at 115200; a test that fits in the gap calls it dead,
// and the scan then skips its port's higher rates. So the tries are spread over
// kLivenessSpanMs: each waits until its share of the span has passed by the tick count,
// and the last read starts 1.237 s after the first by that clock, more than 1.22 s in
// fact where the clock moves in 15.6 ms ticks. Bytes that arrive between two reads wait
// in the driver's buffer for the next. Sleep(1) cannot pace the tries alone: it takes
// 1 ms where the timer runs at 1 ms (Linux, Wine, Windows with a raised resolution),
// up to two 15.6 ms ticks at Windows' default, and less than asked below the tick.
bool PortIsAlive(HANDLE port) {
  ULONGLONG start = GetTickCount64();
  for (int32_t attempt = 0; attempt < kProbeTries; ++attempt) {
    SetCommMask(port, kPortEventMask);
    unsigned char byte = 0;
    DWORD got = 0;
    BOOL read = ReadFile(port, &byte, 1, &got, nullptr);
    ULONGLONG due = start + static_cast<ULONGLONG>(attempt + 1) * kLivenessSpanMs / kProbeTries;
    for (ULONGLONG now = GetTickCount64(); now < due; now = GetTickCount64()) {
      Sleep(static_cast<DWORD>(due - now));
    }
    if (read && got == 1) return true;
  }
  return false;
}

// Blocks until the port reports received data. A wait that succeeds with other
// events only (a modem line changed, a receiver's pulse-per-second on DCD) waits
// again; a failed wait, or one that ends with no event at all (the port was closed
// under it), ends the capture, as does the stop signal. A driver that keeps
// returning other events at once would turn that into a spin, so after
// kEventOnlyWaitLimit of them in a row the capture ends too: far more than a real
// device shows before its first byte (a 1 Hz pulse takes 100 s to get there, longer
// than the driver waits for a capture).
constexpr int32_t kEventOnlyWaitLimit = 100;

bool WaitForData(CaptureBlock* block, HANDLE port) {
  for (int32_t wait = 0; wait < kEventOnlyWaitLimit; ++wait) {
    if (block->portHandle.load() == INVALID_HANDLE_VALUE) return false;
    DWORD events = 0;
    SetCommMask(port, kPortEventMask);
    BOOL waited = WaitCommEvent(port, &events, nullptr);
    SetCommMask(port, kPortEventMask);
    if (!waited || events == 0) return false;
    if (events & EV_RXCHAR) return true;
  }
  return false;
}

// Cancels the thread's synchronous I/O and waits for it to end, in slices of
// kReaderEndPollMs with a cancel before each, for at most boundMs (INFINITE: until it
// ends). A cancel ends only a call the thread is inside at that moment, so it is
// repeated: a reader caught between its stop check and its wait is caught in the
// wait by the next one. True once the thread has ended.
bool CancelUntilEnded(HANDLE thread, DWORD boundMs) {
  for (DWORD waited = 0; boundMs == INFINITE || waited < boundMs; waited += kReaderEndPollMs) {
    CancelSynchronousIo(thread);
    if (WaitForSingleObject(thread, kReaderEndPollMs) != WAIT_TIMEOUT) return true;
  }
  return false;
}

}  // namespace

bool ProbePort(uint32_t rate, const PortName& name, ScanContext* context) {
  context->portHandle = CreateFileW(name.text, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
  if (context->portHandle == INVALID_HANDLE_VALUE) {
    LogLine("No such port. Skipping.");
    return false;
  }
  HANDLE port = context->portHandle;

  DCB dcb = {};
  dcb.DCBlength = sizeof(DCB);
  GetCommState(port, &dcb);  // a failed read leaves the zeroed DCB to be filled in
  ApplyLineSettings(&dcb, rate);
  if (!SetCommState(port, &dcb)) return false;

  COMMTIMEOUTS timeouts = {};
  GetCommTimeouts(port, &timeouts);
  ApplyTimeouts(&timeouts);
  if (!SetCommTimeouts(port, &timeouts)) return false;

  // A port without modem lines (a USB bridge or a pseudo-terminal) refuses these;
  // it can still deliver data, so the probe goes on.
  EscapeCommFunction(port, SETDTR);
  EscapeCommFunction(port, SETRTS);

  if (!PortIsAlive(port)) {
    LogLine("Port exists, but seems to be dead. Skipping.");
    return false;
  }

  LogLine("Port exists, not dead. Trying to analyze data for GPS sentences.");
  context->capture.buffer = context->captureBuffer;
  context->capture.portHandle.store(port);
  context->readerThread = CreateThread(nullptr, 0, CaptureReader, &context->capture, 0, nullptr);
  if (context->readerThread == nullptr) {
    // No reader, no capture: fail the probe so that the scan never waits for bytes
    // nobody collects; the caller closes the port as after any failed probe.
    context->capture.portHandle.store(INVALID_HANDLE_VALUE);
    return false;
  }
  return true;
}

DWORD WINAPI CaptureReader(LPVOID parameter) {
  CaptureBlock* block = static_cast<CaptureBlock*>(parameter);
  HANDLE port = block->portHandle.load();
  if (port == INVALID_HANDLE_VALUE) return 0;
  if (!WaitForData(block, port)) return 0;

  for (;;) {
    unsigned char byte = 0;
    DWORD got = 0;
    BOOL read = ReadFile(port, &byte, 1, &got, nullptr);
    if (read && got == 1) {
      int32_t count = block->count.load(std::memory_order_relaxed);
      if (count >= kCaptureLimit) return 0;  // full: this byte is lost
      block->buffer[count] = byte;
      block->count.store(count + 1, std::memory_order_release);
    }
    port = block->portHandle.load();
    if (port == INVALID_HANDLE_VALUE) return 0;
    // A read that fails, as opposed to one that found no byte, means the device is
    // gone (unplugged mid-capture): every further read would fail at once.
    if (!read) return 0;
  }
}


void ClosePort(ScanContext* context) {
  if (context->portHandle != INVALID_HANDLE_VALUE) {
    context->capture.portHandle.store(INVALID_HANDLE_VALUE);
    // On Windows synchronous calls on one port are serialized: closing it while the
    // reader is blocked in WaitCommEvent would wait for that wait, which only the
    // port's next event ends (never, on a port gone quiet). So the reader is ended
    // first, by cancelling its I/O; a reading reader ends within one read anyway.
    // Under Wine and on Linux a cancel finds nothing, and a reader in its first wait
    // stays there until kReaderOffPortBoundMs, when closing the port ends the wait.
    if (context->readerThread != nullptr) {
      CancelUntilEnded(context->readerThread, kReaderOffPortBoundMs);
    }
    // A port handle's close fails only for a value that is no longer an open handle;
    // closing it again could only close whatever has since been given that value. So
    // a failed close is left alone: the field keeps the value until the next probe.
    if (CloseHandle(context->portHandle)) context->portHandle = INVALID_HANDLE_VALUE;
  }
  context->portOpen = 0;
}

void EndReader(ScanContext* context) {
  if (context->readerThread == nullptr) return;
  // The reader has ended in ClosePort, or the port was closed under its first wait
  // (where a cancel cannot end it), which ends it now. Should it still be waiting
  // anywhere a cancel reaches, the cancels here end it.
  CancelUntilEnded(context->readerThread, INFINITE);
  CloseHandle(context->readerThread);
  context->readerThread = nullptr;
}
