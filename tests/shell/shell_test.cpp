// The dialog procedure, the Detect command and the entry, over the recording
// stand-in of recorder.cpp.
#include "tests/shell/recorder.h"

#include "shell/main_dialog.h"

#include <commctrl.h>

#include <gtest/gtest.h>

namespace {

constexpr WPARAM MakeCommand(WORD id, WORD notification) {
  return static_cast<WPARAM>(id) | (static_cast<WPARAM>(notification) << 16);
}

// Initialises the dialog as the dialog manager would and forgets that call.
void InitDialog(HWND dialog) {
  ASSERT_EQ(MainDialogProc(dialog, WM_INITDIALOG, 0, 0), TRUE);
  gCalls.clear();
}

std::vector<CallKind> Kinds() {
  std::vector<CallKind> kinds;
  for (const Call& call : gCalls) kinds.push_back(call.kind);
  return kinds;
}

// ScanForReceiver's progress reports for a machine with one attempt per port.
std::vector<int32_t> ProgressOfWholeScan() {
  std::vector<int32_t> values = {0};
  for (int32_t port = 1; port <= 255; ++port) values.push_back(100 * port / 256);
  values.push_back(100);
  return values;
}

class ShellTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetRecorder(); }
  void TearDown() override { EXPECT_EQ(gLiveContexts, 0) << "a scan context was not freed"; }
};

// ---- MainDialogProc -------------------------------------------------------

TEST_F(ShellTest, InitDialogReturnsTrueAndStoresTheWindowForLaterCommands) {
  for (HWND dialog : {kDialogA, kDialogB}) {
    ResetRecorder();
    EXPECT_EQ(MainDialogProc(dialog, WM_INITDIALOG, 0, 0), TRUE);
    EXPECT_TRUE(gCalls.empty());
    // The stored window is the one the Detect command draws on and owns its box with.
    MainDialogProc(dialog, WM_COMMAND, MakeCommand(IDOK, 0), 0);
    HWND bar = dialog == kDialogA ? kProgressOfA : kProgressOfB;
    EXPECT_FALSE(BarPositions(bar).empty());
    std::vector<Call> boxes = CallsOf(kMessageBox);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].window, dialog);
  }
}

TEST_F(ShellTest, PaintBeginsAndEndsOnTheSameRecordAndReturnsFalse) {
  InitDialog(kDialogA);
  EXPECT_EQ(MainDialogProc(kDialogA, WM_PAINT, 0, 0), FALSE);
  ASSERT_EQ(Kinds(), (std::vector<CallKind>{kBeginPaint, kEndPaint}));
  EXPECT_EQ(gCalls[0].window, kDialogA);
  EXPECT_EQ(gCalls[1].window, kDialogA);
  EXPECT_EQ(gCalls[0].pointer, gCalls[1].pointer);
}

// Enter gives the default button's command, the button gives the same with its
// handle; an accelerator sets the high word. Only the low word decides.
TEST_F(ShellTest, DetectButtonAndEnterRunTheSameScan) {
  const struct {
    WPARAM wParam;
    LPARAM lParam;
  } kSources[] = {{MakeCommand(IDOK, 0), 0x1234}, {MakeCommand(IDOK, 0), 0}, {MakeCommand(IDOK, 1), 0}};
  std::vector<std::vector<CallKind>> logs;
  for (const auto& source : kSources) {
    InitDialog(kDialogA);
    gScanScript.progress = {0, 50, 100};
    EXPECT_EQ(MainDialogProc(kDialogA, WM_COMMAND, source.wParam, source.lParam), TRUE);
    logs.push_back(Kinds());
    EXPECT_EQ(CallsOf(kScanForReceiver).size(), 1u);
    EXPECT_EQ(CallsOf(kMessageBox).size(), 1u);
    EXPECT_TRUE(CallsOf(kEndDialog).empty());
  }
  EXPECT_EQ(logs[0], logs[1]);
  EXPECT_EQ(logs[0], logs[2]);
}

TEST_F(ShellTest, QuitEndsTheDialogWithTwoAndScansNothing) {
  for (WPARAM wParam : {MakeCommand(IDCANCEL, 0), MakeCommand(IDCANCEL, 1)}) {
    InitDialog(kDialogB);
    EXPECT_EQ(MainDialogProc(kDialogB, WM_COMMAND, wParam, 0), TRUE);
    ASSERT_EQ(Kinds(), (std::vector<CallKind>{kEndDialog}));
    EXPECT_EQ(gCalls[0].window, kDialogB);
    EXPECT_EQ(gCalls[0].first, 2);
  }
}

TEST_F(ShellTest, OtherCommandsAreHandledAndDoNothing) {
  InitDialog(kDialogA);
  for (WORD id : {WORD{0}, WORD{3}, WORD{1000}, WORD{0xFFFF}}) {
    EXPECT_EQ(MainDialogProc(kDialogA, WM_COMMAND, MakeCommand(id, 0), 0), TRUE) << id;
    EXPECT_EQ(MainDialogProc(kDialogA, WM_COMMAND, MakeCommand(id, 1), 0), TRUE) << id;
  }
  EXPECT_TRUE(gCalls.empty());
}

TEST_F(ShellTest, OtherMessagesAreNotHandled) {
  InitDialog(kDialogA);
  // WM_NULL, WM_DESTROY, WM_CLOSE (the dialog manager turns it into IDCANCEL),
  // WM_TIMER, WM_USER, and PBM_SETPOS sent to the wrong window.
  for (UINT message : {0x0000u, 0x0002u, 0x0010u, 0x0113u, 0x0400u, 0x0402u}) {
    EXPECT_EQ(MainDialogProc(kDialogA, message, IDOK, 0), FALSE) << message;
    EXPECT_EQ(MainDialogProc(kDialogA, message, IDCANCEL, 0), FALSE) << message;
  }
  EXPECT_TRUE(gCalls.empty());
}

// ---- OnDetect -------------------------------------------------------------

TEST_F(ShellTest, FoundReceiverIsReportedAfterTheContextIsFreedAndTheBarIsReset) {
  InitDialog(kDialogA);
  gScanScript.progress = {0, 0, 0, 1, 1, 1, 1, 100};
  gScanScript.found = true;
  gScanScript.port = 5;
  gScanScript.rate = 9600;
  OnDetect();

  EXPECT_EQ(BarPositions(kProgressOfA), (std::vector<int32_t>{0, 0, 0, 0, 1, 1, 1, 1, 100, 0}));
  // Every message went to the dialog's progress bar, with lParam 0.
  for (const Call& call : CallsOf(kSendMessage)) {
    EXPECT_EQ(call.window, kProgressOfA);
    EXPECT_EQ(call.message, static_cast<UINT>(PBM_SETPOS));
    EXPECT_EQ(call.second, 0);
  }
  std::vector<CallKind> order;
  for (CallKind kind : Kinds())
    if (order.empty() || order.back() != kind) order.push_back(kind);
  EXPECT_EQ(order, (std::vector<CallKind>{kSendMessage, kCreateScanContext, kScanForReceiver,
                                          kSendMessage, kDestroyScanContext, kSendMessage,
                                          kMessageBox}));

  std::vector<Call> created = CallsOf(kCreateScanContext);
  std::vector<Call> destroyed = CallsOf(kDestroyScanContext);
  ASSERT_EQ(created.size(), 1u);
  ASSERT_EQ(destroyed.size(), 1u);
  EXPECT_EQ(created[0].extra, reinterpret_cast<const void*>(&ReportProgress));
  EXPECT_EQ(CallsOf(kScanForReceiver)[0].pointer, created[0].pointer);
  EXPECT_EQ(destroyed[0].pointer, created[0].pointer);

  std::vector<Call> boxes = CallsOf(kMessageBox);
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, L"GPS device found at COM5: / 9600 bauds");
  EXPECT_EQ(boxes[0].caption, L"Completed");
  EXPECT_EQ(boxes[0].first, static_cast<intptr_t>(MB_OK));
  EXPECT_EQ(boxes[0].window, kDialogA);
}

TEST_F(ShellTest, WidestResultFitsTheMessage) {
  InitDialog(kDialogB);
  gScanScript.found = true;
  gScanScript.port = 255;
  gScanScript.rate = 115200;
  OnDetect();
  std::vector<Call> boxes = CallsOf(kMessageBox);
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, L"GPS device found at COM255: / 115200 bauds");
  EXPECT_EQ(boxes[0].window, kDialogB);
}

TEST_F(ShellTest, NothingFoundAfterAWholeScan) {
  InitDialog(kDialogA);
  gScanScript.progress = ProgressOfWholeScan();
  OnDetect();

  std::vector<int32_t> expected = {0};
  expected.insert(expected.end(), gScanScript.progress.begin(), gScanScript.progress.end());
  expected.push_back(0);
  EXPECT_EQ(BarPositions(kProgressOfA), expected);
  EXPECT_EQ(CallsOf(kDestroyScanContext).size(), 1u);
  std::vector<Call> boxes = CallsOf(kMessageBox);
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, L"No GPS devices found");
  EXPECT_EQ(boxes[0].caption, L"Completed");
  EXPECT_EQ(boxes[0].first, static_cast<intptr_t>(MB_OK));
  EXPECT_EQ(boxes[0].window, kDialogA);
  EXPECT_EQ(gCalls.back().kind, kMessageBox);
}

TEST_F(ShellTest, EachPressScansWithANewContext) {
  InitDialog(kDialogA);
  gScanScript.progress = {0, 100};
  MainDialogProc(kDialogA, WM_COMMAND, MakeCommand(IDOK, 0), 0);
  gScanScript.found = true;
  gScanScript.port = 3;
  gScanScript.rate = 4800;
  MainDialogProc(kDialogA, WM_COMMAND, MakeCommand(IDOK, 0), 0);

  EXPECT_EQ(CallsOf(kCreateScanContext).size(), 2u);
  EXPECT_EQ(CallsOf(kDestroyScanContext).size(), 2u);
  EXPECT_EQ(BarPositions(kProgressOfA), (std::vector<int32_t>{0, 0, 100, 0, 0, 0, 100, 0}));
  std::vector<Call> boxes = CallsOf(kMessageBox);
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(boxes[0].text, L"No GPS devices found");
  EXPECT_EQ(boxes[1].text, L"GPS device found at COM3: / 4800 bauds");
}

// No scan can run without its context; the user is told so rather than shown a
// result of a scan that never happened.
TEST_F(ShellTest, ContextThatCannotBeAllocatedRunsNoScan) {
  InitDialog(kDialogA);
  gScanScript.failAllocation = true;
  gScanScript.found = true;
  gScanScript.port = 5;
  gScanScript.rate = 9600;
  OnDetect();

  EXPECT_TRUE(CallsOf(kScanForReceiver).empty());
  EXPECT_TRUE(CallsOf(kDestroyScanContext).empty());
  EXPECT_EQ(BarPositions(kProgressOfA), (std::vector<int32_t>{0}));
  std::vector<Call> boxes = CallsOf(kMessageBox);
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, L"Not enough memory to scan for GPS devices");
  EXPECT_EQ(boxes[0].caption, L"Completed");
  EXPECT_EQ(boxes[0].window, kDialogA);
}

TEST_F(ShellTest, ReportProgressMovesTheMainDialogsBar) {
  InitDialog(kDialogB);
  ReportProgress(39);
  ASSERT_EQ(gCalls.size(), 1u);
  EXPECT_EQ(gCalls[0].window, kProgressOfB);
  EXPECT_EQ(gCalls[0].message, static_cast<UINT>(PBM_SETPOS));
  EXPECT_EQ(gCalls[0].first, 39);
  EXPECT_EQ(gCalls[0].second, 0);
}

// ---- wWinMain -------------------------------------------------------------

TEST_F(ShellTest, EntryRunsTheMainDialogAndExitsWithZeroWhateverItsResult) {
  for (INT_PTR result : {INT_PTR{2}, INT_PTR{1}, INT_PTR{-1}, INT_PTR{0}}) {
    ResetRecorder();
    gDialogResult = result;
    WCHAR commandLine[] = L"--ignored";
    EXPECT_EQ(wWinMain(kInstance, nullptr, commandLine, SW_SHOWNORMAL), 0);
    // Ghosting is off before the dialog exists: during a scan its thread takes no
    // message for far longer than the 5 s after which Windows would ghost it.
    ASSERT_EQ(Kinds(), (std::vector<CallKind>{kDisableProcessWindowsGhosting, kInitCommonControls,
                                              kDialogBoxParam}));
    const Call& box = gCalls[2];
    EXPECT_EQ(box.extra, kInstance);
    EXPECT_EQ(box.pointer, static_cast<const void*>(MAKEINTRESOURCEW(129)));
    EXPECT_EQ(box.window, nullptr);
    EXPECT_EQ(box.second, reinterpret_cast<intptr_t>(&MainDialogProc));
    EXPECT_EQ(box.first, 0);
  }
}

}  // namespace
