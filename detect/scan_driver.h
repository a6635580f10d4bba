// The scan over ports 1 to 255 and six baud rates, in port-major order.
#pragma once

#include "detect/scan_context.h"

#include <cstdint>

constexpr int32_t kFirstPort = 1;
constexpr int32_t kLastPort = 255;
constexpr int32_t kBaudRateCount = 6;
constexpr uint32_t kBaudRates[kBaudRateCount] = {4800, 9600, 19200, 38400, 57600, 115200};
constexpr int32_t kCaptureThreshold = 1024;  // bytes a capture needs before it is analysed
constexpr uint32_t kCaptureWaitLimitSeconds = 30;

// Twice the time to fill the capture buffer at the rate, plus one second, in whole
// seconds: 7 at 4800, 3 at 9600, 1 from 19200 up.
constexpr uint32_t WaitPeriodSeconds(uint32_t rate) {
  return 2 * (static_cast<uint32_t>(kCaptureBufferSize) / (rate / 8)) + 1;
}

// 0 for ports 1 and 2, 39 for port 100, 99 for port 255.
constexpr int32_t PortProgress(int32_t port) { return 100 * port / 256; }

// "COM9:" up to port 9, "\\.\COM10" from port 10 up.
PortName MakePortName(int32_t port);

// Returns true with the first port and rate whose capture holds a known sentence;
// port and rate are left untouched when nothing is found.
bool ScanForReceiver(ScanContext* context, int32_t* port, uint32_t* rate);

// The same scan over the count ports given, in the order given: progress, log and
// the six rates per port as ScanForReceiver, which is this over ports 1 to 255.
bool ScanPorts(ScanContext* context, const int32_t* ports, int32_t count, int32_t* port,
               uint32_t* rate);
