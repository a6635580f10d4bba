#include "detect/scan_driver.h"

#include "detect/log.h"
#include "detect/port_probe.h"
#include "detect/scan_observer.h"
#include "detect/sentence.h"

#include <cstring>
#include <cwchar>

namespace {

void ReportScanProgress(const ScanContext* context, int32_t percent) {
  if (context->progress != nullptr) context->progress(percent);
}

// The capture of an attempt, for an observer that explains the result; the reader
// has ended, so the buffer is the driver's alone.
void ReportCapture(const ScanContext* context, int32_t port, uint32_t rate, bool recognised) {
  const ScanObserver* observer = CurrentScanObserver();
  if (observer == nullptr || observer->captureTaken == nullptr) return;
  CaptureReport report = {port, rate, context->captureBuffer, context->capture.count.load(),
                          recognised};
  observer->captureTaken(&report);
}

bool ReaderHasEnded(const ScanContext* context) {
  return context->readerThread == nullptr ||
         WaitForSingleObject(context->readerThread, 0) != WAIT_TIMEOUT;
}

// Sleeps in whole wait periods until the capture holds kCaptureThreshold bytes,
// looking once before the first sleep. Three things end the wait short of that, and
// all count as a capture that is not recognised (the scan goes on with the next rate):
// - the reader has ended, so no byte will come;
// - kCaptureWaitLimitSeconds have been slept, which a port that passed its liveness
//   test and then stopped would otherwise never let the scan get past. The limit is
//   far above what a slow but real receiver needs: one sending 70 bytes a second at
//   4800 has its 1024 bytes within 15 s, seen at the third look;
// - the capture is behind the slowest pace that still reaches the threshold by the
//   limit's look (35 s at 4800, 30 s at the other rates), allowing a second for the
//   gap before a receiver's next burst. At its pace so far it would end at the limit
//   short of the threshold anyway, so only a port that speeds up is judged otherwise.
//   This is what a fast receiver looks like at a low rate: a few garbage bytes a
//   burst, 19 a second at 4800 for one at 115200, given up at the first look (7 s)
//   rather than the 35 s limit. The slow receiver above is twice the pace needed.
bool WaitForCapture(const ScanContext* context, uint32_t waitSeconds) {
  const uint32_t lastLook =
      (kCaptureWaitLimitSeconds + waitSeconds - 1) / waitSeconds * waitSeconds;
  uint32_t slept = 0;
  for (;;) {
    // Whether the reader ended is asked before the count is read, so that bytes it
    // stored just before ending are never missed.
    bool ended = ReaderHasEnded(context);
    int64_t count = context->capture.count.load();
    if (count >= kCaptureThreshold) return true;
    if (ended || slept >= kCaptureWaitLimitSeconds) return false;
    if (slept > 1 && count * lastLook < int64_t{kCaptureThreshold} * (slept - 1)) return false;
    Sleep(waitSeconds * 1000);
    slept += waitSeconds;
  }
}

// The six rates on port n, as the scan tries them; true with the first rate whose
// capture is recognised. A failed probe ends the port: its later rates are skipped.
bool ScanPort(ScanContext* context, int32_t n, uint32_t* rate) {
  for (uint32_t r : kBaudRates) {
    ReportScanProgress(context, PortProgress(n));
    uint32_t waitSeconds = WaitPeriodSeconds(r);
    PortName name = MakePortName(n);
    context->capture.count.store(0);
    std::memset(context->captureBuffer, 0, kCaptureBufferSize);
    LogLine("Checking port COM%d: bauds rate %d", static_cast<int>(n), static_cast<int>(r));

    if (!ProbePort(r, name, context)) {
      ClosePort(context);
      return false;  // the rates of this port not yet tried are skipped
    }
    context->portOpen = 1;
    bool captured = WaitForCapture(context, waitSeconds);
    ClosePort(context);
    EndReader(context);
    bool recognised =
        captured && RecogniseSentence(context->captureBuffer, context->capture.count.load());
    ReportCapture(context, n, r, recognised);
    if (recognised) {
      *rate = r;
      return true;
    }
  }
  return false;
}

}  // namespace

PortName MakePortName(int32_t port) {
  PortName name = {};
  // Names from COM10 up exist only in the device namespace, hence the \\.\ prefix;
  // the low ports keep the classic DOS device form.
  if (port <= 9) {
    std::swprintf(name.text, sizeof name.text / sizeof name.text[0], L"COM%d:", port);
  } else {
    std::swprintf(name.text, sizeof name.text / sizeof name.text[0], L"\\\\.\\COM%d", port);
  }
  return name;
}

bool ScanForReceiver(ScanContext* context, int32_t* port, uint32_t* rate) {
  int32_t all[kLastPort - kFirstPort + 1];
  for (int32_t n = kFirstPort; n <= kLastPort; ++n) all[n - kFirstPort] = n;
  return ScanPorts(context, all, kLastPort - kFirstPort + 1, port, rate);
}

bool ScanPorts(ScanContext* context, const int32_t* ports, int32_t count, int32_t* port,
               uint32_t* rate) {
  const ScanObserver* observer = CurrentScanObserver();
  if (observer != nullptr && observer->scanBegan != nullptr) observer->scanBegan();
  ReportScanProgress(context, 0);
  bool found = false;
  for (int32_t at = 0; at < count && !found; ++at) {
    uint32_t foundRate = 0;
    if (ScanPort(context, ports[at], &foundRate)) {
      *port = ports[at];
      *rate = foundRate;
      found = true;
    }
  }
  ReportScanProgress(context, 100);
  if (observer != nullptr && observer->scanEnded != nullptr) {
    observer->scanEnded(found, found ? *port : 0, found ? *rate : 0);
  }
  return found;
}
