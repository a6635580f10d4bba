// The handle table and the calls common to every handle: CloseHandle and the
// thread's last error.
#include "win32/handles.h"

#include "policy/port_watch.h"

#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>

namespace {

constexpr uint32_t kHandleSlots = 256;
constexpr int kIndexBits = 16;

// One lock for the whole table: it is held only to look up, count and retire
// slots, never across a blocking call.
std::mutex gTableMutex;
HandleSlot gSlots[kHandleSlots];
uint32_t gNextSlot = 0;
// Signalled when a port's descriptor has been closed, for ClosePortsForExit.
std::condition_variable gPortRetired;
// Held while a port is being opened; ClosePortsForExit takes it and keeps it.
std::timed_mutex gOpenMutex;

thread_local DWORD tLastError = ERROR_SUCCESS;

// The value carries the slot's generation as well as its index, so a handle that
// was closed never matches the slot's next tenant. Index + 1 keeps it off nullptr,
// and a 32-bit generation keeps it off INVALID_HANDLE_VALUE.
HANDLE MakeHandle(uint32_t index, uint32_t generation) {
  uintptr_t value = (static_cast<uintptr_t>(generation) << kIndexBits) | (index + 1);
  return reinterpret_cast<HANDLE>(value);
}

HandleSlot* FindSlot(HANDLE handle, HandleKind kind) {
  uintptr_t value = reinterpret_cast<uintptr_t>(handle);
  uintptr_t index = (value & ((1u << kIndexBits) - 1)) - 1;
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE || index >= kHandleSlots) return nullptr;
  HandleSlot* slot = &gSlots[index];
  bool live = slot->kind == kind && !slot->closing &&
              (value >> kIndexBits) == static_cast<uintptr_t>(slot->generation);
  return live ? slot : nullptr;
}

HANDLE Insert(HandleKind kind, int fd, int wakeFd, ThreadRecord* thread) {
  std::lock_guard<std::mutex> lock(gTableMutex);
  for (uint32_t n = 0; n < kHandleSlots; ++n) {
    // Slots are handed out in turn, so a freed one rests before it is used again.
    uint32_t index = (gNextSlot + n) % kHandleSlots;
    HandleSlot* slot = &gSlots[index];
    if (slot->kind != kHandleFree) continue;
    gNextSlot = index + 1;
    slot->kind = kind;
    slot->references = 0;
    slot->closing = false;
    slot->port.fd = fd;
    slot->port.wakeFd = wakeFd;
    slot->port.timeouts = COMMTIMEOUTS{};
    slot->port.mask = 0;
    // Linux raises DTR and RTS when a port is opened.
    slot->port.dtrControl = DTR_CONTROL_ENABLE;
    slot->port.rtsControl = RTS_CONTROL_ENABLE;
    slot->thread = thread;
    return MakeHandle(index, slot->generation);
  }
  return nullptr;
}

// Frees what a closed slot holds, once nobody is inside a call on it. Called with
// the table lock held; the descriptors are closed here too, which never blocks as
// the program writes nothing that a close would wait to drain.
void Retire(HandleSlot* slot) {
  if (slot->kind == kHandlePort) {
    // A pseudo-terminal keeps TIOCEXCL after its slave side is closed, which would
    // lock out the next open by anyone but root; so give it back first.
    ioctl(slot->port.fd, TIOCNXCL);
    // Counted as this process's own close, so a scan's watch on the device does not
    // take it for another program's.
    struct stat device;
    bool known = fstat(slot->port.fd, &device) == 0;
    close(slot->port.fd);
    if (known) NoteOwnClose(device);
    close(slot->port.wakeFd);
  } else if (slot->kind == kHandleThread) {
    ReleaseThreadRecord(slot->thread);
  }
  bool port = slot->kind == kHandlePort;
  slot->kind = kHandleFree;
  slot->thread = nullptr;
  if (port) gPortRetired.notify_all();
}

// Makes the handle stale for new calls; calls already inside a poll on the port are
// woken and fail, and the last one out retires the slot. Table lock held.
void CloseSlotLocked(HandleSlot* slot) {
  slot->closing = true;
  ++slot->generation;
  if (slot->kind == kHandlePort) {
    uint64_t one = 1;
    ssize_t written = write(slot->port.wakeFd, &one, sizeof one);
    (void)written;  // an eventfd only refuses at a count near 2^64
  }
  if (slot->references == 0) Retire(slot);
}

bool AnyPortOpenLocked() {
  for (const HandleSlot& slot : gSlots) {
    if (slot.kind == kHandlePort) return true;
  }
  return false;
}

}  // namespace

HANDLE InsertPort(int fd, int wakeFd) { return Insert(kHandlePort, fd, wakeFd, nullptr); }

HANDLE InsertThread(ThreadRecord* thread) { return Insert(kHandleThread, -1, -1, thread); }

HandleSlot* AcquireHandle(HANDLE handle, HandleKind kind) {
  std::lock_guard<std::mutex> lock(gTableMutex);
  HandleSlot* slot = FindSlot(handle, kind);
  if (slot == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  ++slot->references;
  return slot;
}

void ReleaseHandle(HandleSlot* slot) {
  std::lock_guard<std::mutex> lock(gTableMutex);
  if (--slot->references == 0 && slot->closing) Retire(slot);
}

BOOL CloseHandle(HANDLE handle) {
  std::lock_guard<std::mutex> lock(gTableMutex);
  HandleSlot* slot = FindSlot(handle, kHandlePort);
  if (slot == nullptr) slot = FindSlot(handle, kHandleThread);
  if (slot == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  CloseSlotLocked(slot);
  return TRUE;
}

void BeginPortOpen() { gOpenMutex.lock(); }

void EndPortOpen() { gOpenMutex.unlock(); }

void ClosePortsForExit(int boundMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(boundMs);
  // Kept for good: the process ends next. An open that never returns costs the
  // bound, and its port is then left to the kernel's close.
  bool gated = gOpenMutex.try_lock_until(deadline);
  (void)gated;
  std::unique_lock<std::mutex> lock(gTableMutex);
  for (HandleSlot& slot : gSlots) {
    if (slot.kind == kHandlePort && !slot.closing) CloseSlotLocked(&slot);
  }
  gPortRetired.wait_until(lock, deadline, [] { return !AnyPortOpenLocked(); });
}

DWORD GetLastError() { return tLastError; }

void SetLastError(DWORD error) { tLastError = error; }

DWORD ErrorFromErrno(int error) {
  switch (error) {
    case ENOENT:
    case ENXIO:  // a device node with no device behind it
    case ENODEV:
      return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP:
      return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS:
    case EBUSY:        // TIOCEXCL held by another
    case EWOULDBLOCK:  // flock held by another; Windows says access denied for a port in use
      return ERROR_ACCESS_DENIED;
    case EMFILE:
    case ENFILE:
      return ERROR_TOO_MANY_OPEN_FILES;
    case ENOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    case EINVAL:
      return ERROR_INVALID_PARAMETER;
    case ENOTTY:
    case EOPNOTSUPP:
      return ERROR_NOT_SUPPORTED;
    case EBADF:
      return ERROR_INVALID_HANDLE;
    default:
      return ERROR_GEN_FAILURE;
  }
}
