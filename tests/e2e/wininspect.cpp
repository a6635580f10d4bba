// wininspect: reads what the program's windows show, from another process of the same
// Wine session, so the end-to-end driver can check texts that a screenshot only shows.
//
//   wininspect box CAPTION   prints the text of the message box titled CAPTION
//   wininspect progress      prints the position of the main dialog's progress bar
//   wininspect bar           prints the bar's client area on the screen: x y width height
//                            (asks the window manager only, so it works while the
//                            dialog's thread is busy scanning)
//
// Prints one line on stdout; exits 0 when the window was found, 1 otherwise.
#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <cstring>

namespace {

constexpr int kProgressId = 1000;  // IDC_PROGRESS of the main dialog

void PrintUtf8(const wchar_t* text) {
  char utf8[1024] = {};
  WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, sizeof utf8 - 1, nullptr, nullptr);
  std::printf("%s\n", utf8);
}

// The message text is the box's static control that has text (the icon's static, when
// there is one, has none).
BOOL CALLBACK PrintStaticText(HWND child, LPARAM found) {
  wchar_t className[32] = {};
  GetClassNameW(child, className, 32);
  if (lstrcmpiW(className, L"Static") != 0) return TRUE;
  wchar_t text[512] = {};
  if (GetWindowTextW(child, text, 512) == 0) return TRUE;
  PrintUtf8(text);
  *reinterpret_cast<bool*>(found) = true;
  return FALSE;
}

// The main dialog is the visible dialog-class window with an empty title that holds
// the progress bar.
BOOL CALLBACK FindMainDialog(HWND window, LPARAM result) {
  wchar_t className[32] = {};
  GetClassNameW(window, className, 32);
  if (lstrcmpW(className, L"#32770") != 0 || !IsWindowVisible(window)) return TRUE;
  if (GetWindowTextLengthW(window) != 0 || GetDlgItem(window, kProgressId) == nullptr) return TRUE;
  *reinterpret_cast<HWND*>(result) = window;
  return FALSE;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 3 && std::strcmp(argv[1], "box") == 0) {
    wchar_t caption[128] = {};
    MultiByteToWideChar(CP_UTF8, 0, argv[2], -1, caption, 127);
    HWND box = FindWindowW(L"#32770", caption);
    if (box == nullptr) return 1;
    bool found = false;
    EnumChildWindows(box, PrintStaticText, reinterpret_cast<LPARAM>(&found));
    return found ? 0 : 1;
  }
  if (argc >= 2 && std::strcmp(argv[1], "progress") == 0) {
    HWND dialog = nullptr;
    EnumWindows(FindMainDialog, reinterpret_cast<LPARAM>(&dialog));
    if (dialog == nullptr) return 1;
    // A dialog busy scanning handles no messages; a timeout keeps this from hanging.
    DWORD_PTR position = 0;
    if (!SendMessageTimeoutW(GetDlgItem(dialog, kProgressId), PBM_GETPOS, 0, 0,
                             SMTO_ABORTIFHUNG, 2000, &position)) {
      return 1;
    }
    std::printf("%u\n", static_cast<unsigned>(position));
    return 0;
  }
  if (argc >= 2 && std::strcmp(argv[1], "bar") == 0) {
    HWND dialog = nullptr;
    EnumWindows(FindMainDialog, reinterpret_cast<LPARAM>(&dialog));
    HWND bar = dialog == nullptr ? nullptr : GetDlgItem(dialog, kProgressId);
    RECT client = {};
    if (bar == nullptr || !GetClientRect(bar, &client)) return 1;
    POINT origin = {0, 0};
    ClientToScreen(bar, &origin);
    std::printf("%ld %ld %ld %ld\n", origin.x, origin.y, client.right, client.bottom);
    return 0;
  }
  std::fprintf(stderr, "usage: wininspect box CAPTION | progress | bar\n");
  return 2;
}
