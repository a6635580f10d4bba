// Threads: waits with and without timeouts, handles closed before the thread
// ends (LeakSanitizer in the ASan run checks that nothing is left), the
// thread's own last error.
#include <gtest/gtest.h>
#include <unistd.h>
#include <windows.h>

#include <atomic>

#include "pty.h"

namespace {

struct Gate {
  std::atomic<bool> open{false};
  std::atomic<int> finished{0};
};

DWORD WINAPI WaitAtGate(LPVOID parameter) {
  Gate* gate = static_cast<Gate*>(parameter);
  while (!gate->open.load()) Sleep(1);
  gate->finished.fetch_add(1);
  return 0;
}

DWORD WINAPI ReportLastError(LPVOID parameter) {
  DWORD* seen = static_cast<DWORD*>(parameter);
  seen[0] = GetLastError();  // a new thread starts with none
  SetLastError(ERROR_NOT_READY);
  seen[1] = GetLastError();
  return 0;
}

struct ThreadTest : ::testing::Test {
  void SetUp() override { alarm(kHangGuardSeconds); }
  void TearDown() override { alarm(0); }
};

TEST_F(ThreadTest, WaitsTimeOutUntilTheThreadEnds) {
  Gate gate;
  DWORD id = 0;
  HANDLE thread = CreateThread(nullptr, 0, WaitAtGate, &gate, 0, &id);
  ASSERT_NE(thread, nullptr);
  ASSERT_NE(thread, INVALID_HANDLE_VALUE);
  EXPECT_NE(id, 0u);
  EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_TIMEOUT);
  EXPECT_EQ(WaitForSingleObject(thread, 5), WAIT_TIMEOUT);
  gate.open = true;
  EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(gate.finished.load(), 1);
  // An ended thread stays signalled, however often it is asked.
  EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(thread, 1000), WAIT_OBJECT_0);
  EXPECT_TRUE(CloseHandle(thread));
  SetLastError(0);
  EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(CloseHandle(thread));
}

TEST_F(ThreadTest, HandleClosedBeforeTheThreadEnds) {
  Gate gate;
  HANDLE threads[20];
  for (HANDLE& thread : threads) {
    thread = CreateThread(nullptr, 0, WaitAtGate, &gate, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    EXPECT_TRUE(CloseHandle(thread));
  }
  gate.open = true;
  while (gate.finished.load() < 20) Sleep(1);  // they still run to their end
  for (HANDLE thread : threads) EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_FAILED);
}

TEST_F(ThreadTest, ManyWaitersSeeTheSameEnd) {
  Gate gate;
  HANDLE thread = CreateThread(nullptr, 0, WaitAtGate, &gate, 0, nullptr);
  ASSERT_NE(thread, nullptr);
  std::atomic<int> woken{0};
  struct Waiter {
    HANDLE thread;
    std::atomic<int>* woken;
  } waiter{thread, &woken};
  auto waitForIt = [](LPVOID parameter) -> DWORD {
    Waiter* w = static_cast<Waiter*>(parameter);
    if (WaitForSingleObject(w->thread, INFINITE) == WAIT_OBJECT_0) w->woken->fetch_add(1);
    return 0;
  };
  HANDLE waiters[4];
  for (HANDLE& w : waiters) {
    w = CreateThread(nullptr, 0, waitForIt, &waiter, 0, nullptr);
    ASSERT_NE(w, nullptr);
  }
  gate.open = true;
  for (HANDLE w : waiters) {
    EXPECT_EQ(WaitForSingleObject(w, INFINITE), WAIT_OBJECT_0);
    CloseHandle(w);
  }
  EXPECT_EQ(woken.load(), 4);
  CloseHandle(thread);
}

TEST_F(ThreadTest, LastErrorBelongsToEachThread) {
  SetLastError(ERROR_ACCESS_DENIED);
  DWORD seen[2] = {99, 99};
  HANDLE thread = CreateThread(nullptr, 0, ReportLastError, seen, 0, nullptr);
  ASSERT_NE(thread, nullptr);
  ASSERT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(seen[0], ERROR_SUCCESS);
  EXPECT_EQ(seen[1], ERROR_NOT_READY);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  CloseHandle(thread);
}

// Nothing to cancel here: closing the port is what ends a blocked wait.
TEST_F(ThreadTest, CancelSynchronousIoFindsNothing) {
  Gate gate;
  gate.open = true;
  HANDLE thread = CreateThread(nullptr, 0, WaitAtGate, &gate, 0, nullptr);
  ASSERT_NE(thread, nullptr);
  SetLastError(0);
  EXPECT_FALSE(CancelSynchronousIo(thread));
  EXPECT_EQ(GetLastError(), ERROR_NOT_FOUND);
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
  EXPECT_FALSE(CancelSynchronousIo(thread));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(ThreadTest, PortsAndThreadsAreNotMistaken) {
  TestPty pty;
  char folder[64];
  ASSERT_TRUE(PinTestPty(&pty, 1, folder, sizeof folder));
  HANDLE port =
      CreateFileW(L"COM1:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(port, INVALID_HANDLE_VALUE);
  Gate gate;
  gate.open = true;
  HANDLE thread = CreateThread(nullptr, 0, WaitAtGate, &gate, 0, nullptr);
  ASSERT_NE(thread, nullptr);
  EXPECT_NE(thread, port);
  EXPECT_EQ(WaitForSingleObject(port, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  DWORD events = 0;
  EXPECT_FALSE(SetCommMask(thread, EV_RXCHAR));
  EXPECT_FALSE(WaitCommEvent(thread, &events, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
  EXPECT_TRUE(CloseHandle(thread));
  EXPECT_TRUE(CloseHandle(port));
  RemoveComFolder(folder);
  CloseTestPty(&pty);
}

TEST_F(ThreadTest, RefusesAThreadWithoutABody) {
  SetLastError(0);
  EXPECT_EQ(CreateThread(nullptr, 0, nullptr, nullptr, 0, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

}  // namespace
