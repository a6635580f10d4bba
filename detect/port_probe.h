// One serial port during one attempt of a scan: open, configure, liveness test,
// capture on a reader thread, close.
#pragma once

#include "detect/scan_context.h"

#include <windows.h>

#include <cstdint>

// Opens and configures the port, checks that it delivers a byte and starts the
// capture reader. On failure no reader runs, but the port may still be open in
// context->portHandle: the caller closes it with ClosePort.
bool ProbePort(uint32_t rate, const PortName& name, ScanContext* context);

// The body of the reader thread: fills block->buffer until it is full, the stop
// signal is seen or the port fails. Always returns 0.
DWORD WINAPI CaptureReader(LPVOID block);

// How long ClosePort waits for the reader to end before it closes the port under it.
constexpr DWORD kReaderOffPortBoundMs = 100;

// Signals the reader to stop, lets it get off the port (ending it where a cancel can),
// closes the port and clears the port-open flag. Harmless when no port is open. A
// failed close leaves the stale value in context->portHandle; nothing is retried.
void ClosePort(ScanContext* context);

// Waits until the reader started by the last probe has ended and releases its
// thread handle. Harmless when no reader was started.
void EndReader(ScanContext* context);
