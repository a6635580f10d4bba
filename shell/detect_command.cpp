#include "detect/scan_context.h"
#include "detect/scan_driver.h"
#include "resources/resource.h"
#include "resources/texts.h"
#include "shell/main_dialog.h"

#include <commctrl.h>

// Not one of the two results of a scan: no scan ran. A 2 KiB allocation failing
// means the system is in trouble, and saying "No GPS devices found" then would tell
// the user that the ports were looked at when they were not. The box keeps the
// usual caption, so whatever waits for the result box still finds it.
static const WCHAR kNoMemoryText[] = L"" SENTROVA_TEXT_NO_MEMORY;

void ReportProgress(int32_t percent) {
  SendMessageW(GetDlgItem(gMainDialog, IDC_PROGRESS), PBM_SETPOS, static_cast<WPARAM>(percent), 0);
}

// The scan blocks the dialog's thread until it is over: there is no cancel, and no
// second scan can start while one runs.
void OnDetect() {
  ReportProgress(0);

  ScanContext* context = CreateScanContext(ReportProgress);
  if (context == nullptr) {
    MessageBoxW(gMainDialog, kNoMemoryText, L"" SENTROVA_TEXT_COMPLETED, MB_OK);
    return;
  }
  int32_t port = 0;
  uint32_t rate = 0;
  bool found = ScanForReceiver(context, &port, &rate);
  DestroyScanContext(context);

  ReportProgress(0);

  WCHAR text[64];
  if (found) {
    wsprintfW(text, L"" SENTROVA_TEXT_FOUND, static_cast<int>(port),
              static_cast<int>(rate));
  } else {
    wsprintfW(text, L"" SENTROVA_TEXT_NOT_FOUND);
  }
  MessageBoxW(gMainDialog, text, L"" SENTROVA_TEXT_COMPLETED, MB_OK);
}
