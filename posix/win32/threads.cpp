// Threads on pthreads, Sleep and the tick count.
#include <limits.h>
#include <pthread.h>
#include <sched.h>
#include <windows.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <new>

#include "win32/handles.h"

// Shared by the running thread and its handle; the last of the two to let go
// frees it. Threads run detached, so a handle closed before its thread ended
// leaks nothing, and one closed after needs no join.
struct ThreadRecord {
  LPTHREAD_START_ROUTINE start;
  LPVOID parameter;
  std::mutex mutex;
  std::condition_variable endedChanged;
  bool ended;
  std::atomic<int32_t> owners;
};

void ReleaseThreadRecord(ThreadRecord* thread) {
  if (thread->owners.fetch_sub(1, std::memory_order_acq_rel) == 1) delete thread;
}

namespace {

std::atomic<DWORD> gNextThreadId{1};

void* RunThread(void* parameter) {
  ThreadRecord* thread = static_cast<ThreadRecord*>(parameter);
  thread->start(thread->parameter);
  {
    std::lock_guard<std::mutex> lock(thread->mutex);
    thread->ended = true;
  }
  thread->endedChanged.notify_all();
  ReleaseThreadRecord(thread);
  return nullptr;
}

}  // namespace

HANDLE CreateThread(LPSECURITY_ATTRIBUTES security, SIZE_T stackSize, LPTHREAD_START_ROUTINE start,
                    LPVOID parameter, DWORD creationFlags, LPDWORD threadId) {
  (void)security;
  (void)creationFlags;  // the program starts its threads at once
  if (start == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  ThreadRecord* thread = new (std::nothrow) ThreadRecord;
  if (thread == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  thread->start = start;
  thread->parameter = parameter;
  thread->ended = false;
  thread->owners.store(2);  // the handle and the running thread
  HANDLE handle = InsertThread(thread);
  if (handle == nullptr) {
    delete thread;
    SetLastError(ERROR_TOO_MANY_OPEN_FILES);
    return nullptr;
  }
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  if (stackSize != 0) {
    SIZE_T smallest = static_cast<SIZE_T>(PTHREAD_STACK_MIN);
    pthread_attr_setstacksize(&attributes, stackSize < smallest ? smallest : stackSize);
  }
  pthread_t id;
  int error = pthread_create(&id, &attributes, RunThread, thread);
  pthread_attr_destroy(&attributes);
  if (error != 0) {
    thread->owners.store(1);  // no thread holds it: closing the handle frees it
    CloseHandle(handle);
    SetLastError(error == EAGAIN ? ERROR_NOT_ENOUGH_MEMORY : ErrorFromErrno(error));
    return nullptr;
  }
  if (threadId != nullptr) *threadId = gNextThreadId.fetch_add(1);
  return handle;
}

// Only thread handles can be waited on here; a port handle fails with
// ERROR_INVALID_HANDLE.
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  HandleSlot* slot = AcquireHandle(handle, kHandleThread);
  if (slot == nullptr) return WAIT_FAILED;
  ThreadRecord* thread = slot->thread;
  bool ended = false;
  {
    std::unique_lock<std::mutex> lock(thread->mutex);
    auto hasEnded = [thread] { return thread->ended; };
    if (milliseconds == INFINITE) {
      thread->endedChanged.wait(lock, hasEnded);
      ended = true;
    } else {
      ended =
          thread->endedChanged.wait_for(lock, std::chrono::milliseconds(milliseconds), hasEnded);
    }
  }
  ReleaseHandle(slot);
  return ended ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

// Linux has no way to cancel another thread's blocking call, and none is
// needed: closing the port wakes a wait or read blocked on it (see CloseHandle).
// So, like Wine, report that no I/O was found to cancel.
BOOL CancelSynchronousIo(HANDLE thread) {
  HandleSlot* slot = AcquireHandle(thread, kHandleThread);
  if (slot == nullptr) return FALSE;
  ReleaseHandle(slot);
  SetLastError(ERROR_NOT_FOUND);
  return FALSE;
}

void Sleep(DWORD milliseconds) {
  if (milliseconds == 0) {
    sched_yield();
    return;
  }
  timespec left = {static_cast<time_t>(milliseconds / 1000),
                   static_cast<long>(milliseconds % 1000) * 1000000};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

// Milliseconds since boot, time suspended included, as Windows counts them.
ULONGLONG GetTickCount64(void) {
  timespec now = {};
  clock_gettime(CLOCK_BOOTTIME, &now);
  return static_cast<ULONGLONG>(now.tv_sec) * 1000 + static_cast<ULONGLONG>(now.tv_nsec) / 1000000;
}
