#include "detect/scan_observer.h"

namespace {

// Set and read on the scanning thread only, between scans.
const ScanObserver* gObserver = nullptr;

}  // namespace

void SetScanObserver(const ScanObserver* observer) { gObserver = observer; }

const ScanObserver* CurrentScanObserver() { return gObserver; }
