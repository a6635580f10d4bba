// What a scan can tell an observer beyond its log and its result: each attempt's
// capture, for a front end that explains a scan that found nothing. The Windows
// program sets no observer, and a scan without one behaves exactly as before.
#pragma once

#include <cstdint>

// One attempt whose probe succeeded, reported after its reader has ended and its
// capture has been through recognition.
struct CaptureReport {
  int32_t port;
  uint32_t rate;
  const unsigned char* data;  // the capture; valid only during the call
  int32_t count;              // bytes captured, up to kCaptureLimit
  bool recognised;            // what RecogniseSentence said (false for a short capture)
};

// The observer's events, each called on the scanning thread; a null member is an
// event nobody waits for. Events to come are new members, so an observer set with
// fewer of them keeps working.
struct ScanObserver {
  void (*captureTaken)(const CaptureReport* report);
};

// Sets the observer of the scans that follow (nullptr: none, the starting state).
// The observer must outlive them; set it on the thread that runs the scans.
void SetScanObserver(const ScanObserver* observer);
const ScanObserver* CurrentScanObserver();
