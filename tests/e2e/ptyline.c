/* Test preload library: makes pseudo-terminals look enough like UARTs for Wine.
 *
 * Loaded with LD_PRELOAD into the wineserver and the Wine processes of an end-to-end
 * test, never into the program itself. Two gaps of a pty are filled:
 *
 * - Modem lines. A pty has none (TIOCMGET fails with ENOTTY), and Wine's serial layer
 *   asks for them before it waits for an event, so WaitCommEvent fails at once on a
 *   pty. Here TIOCMGET/TIOCMBIS/TIOCMBIC/TIOCMSET on a pty slave are answered from a
 *   line state kept in this process, per device: DTR and RTS as the program set them,
 *   and CTS, DSR and CD always up, as a powered receiver on a null-modem cable shows.
 *
 * - Exclusive open. Wine 8 lets a second CreateFile with share mode 0 succeed, and it
 *   ignores locks held by Unix programs. Every open of a pty slave made through this
 *   library takes flock(LOCK_EX | LOCK_NB) on the new descriptor; when another open
 *   file holds the lock, the descriptor is closed and the open fails with EBUSY, so
 *   the program sees a busy port as on Windows. The lock lives with the open file and
 *   goes away with its last descriptor, however the process ends.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdarg.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/types.h>
#include <termios.h>
#include <unistd.h>

/* Unix98 pty slaves have majors 136 to 143 (UNIX98_PTY_SLAVE_MAJOR and the seven
 * after it). */
enum { kPtySlaveMajorFirst = 136, kPtySlaveMajorLast = 143 };

enum { kOutputLines = TIOCM_DTR | TIOCM_RTS };
enum { kInputLines = TIOCM_CTS | TIOCM_DSR | TIOCM_CD };

/* Line state per device. A test uses a handful of ptys; when the table is full the
 * oldest slot is reused, which only forgets a DTR/RTS setting. */
enum { kLineSlots = 64 };
struct LineSlot {
  dev_t device;
  int used;
  int outputs;
};
static struct LineSlot gLines[kLineSlots];
static unsigned gNextSlot;
static pthread_mutex_t gLinesLock = PTHREAD_MUTEX_INITIALIZER;

typedef int (*OpenFn)(const char*, int, ...);
typedef int (*OpenAtFn)(int, const char*, int, ...);
typedef int (*IoctlFn)(int, unsigned long, ...);

static void* NextSymbol(const char* name) { return dlsym(RTLD_NEXT, name); }

static int IsPtySlave(int fd, dev_t* device) {
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return 0;
  unsigned m = major(st.st_rdev);
  if (m < kPtySlaveMajorFirst || m > kPtySlaveMajorLast) return 0;
  if (device != NULL) *device = st.st_rdev;
  return 1;
}

/* Returns the slot of a device, making one (DTR and RTS down) when it has none.
 * Called with gLinesLock held. */
static struct LineSlot* FindLineSlot(dev_t device) {
  for (int i = 0; i < kLineSlots; ++i) {
    if (gLines[i].used && gLines[i].device == device) return &gLines[i];
  }
  struct LineSlot* slot = &gLines[gNextSlot++ % kLineSlots];
  slot->device = device;
  slot->used = 1;
  slot->outputs = 0;
  return slot;
}

/* Answers one modem-line request on a pty slave. Returns 0 or -1 with errno, as
 * ioctl would. */
static int ModemLineRequest(dev_t device, unsigned long request, int* arg) {
  if (arg == NULL) {
    errno = EFAULT;
    return -1;
  }
  pthread_mutex_lock(&gLinesLock);
  struct LineSlot* slot = FindLineSlot(device);
  switch (request) {
    case TIOCMGET:
      *arg = slot->outputs | kInputLines;
      break;
    case TIOCMBIS:
      slot->outputs |= *arg & kOutputLines;
      break;
    case TIOCMBIC:
      slot->outputs &= ~(*arg & kOutputLines);
      break;
    default: /* TIOCMSET */
      slot->outputs = *arg & kOutputLines;
      break;
  }
  pthread_mutex_unlock(&gLinesLock);
  return 0;
}

int ioctl(int fd, unsigned long request, ...) {
  va_list args;
  va_start(args, request);
  void* arg = va_arg(args, void*);
  va_end(args);

  if (request == TIOCMGET || request == TIOCMBIS || request == TIOCMBIC ||
      request == TIOCMSET) {
    dev_t device;
    if (IsPtySlave(fd, &device)) return ModemLineRequest(device, request, (int*)arg);
  }
  static IoctlFn next;
  if (next == NULL) next = (IoctlFn)NextSymbol("ioctl");
  return next(fd, request, arg);
}

/* Takes the pty's lock for a freshly opened descriptor; on a busy pty closes the
 * descriptor and fails with EBUSY. Anything that is not a pty slave passes. */
static int ClaimOpened(int fd) {
  if (fd < 0 || !IsPtySlave(fd, NULL)) return fd;
  if (flock(fd, LOCK_EX | LOCK_NB) == 0) return fd;
  int error = errno == EWOULDBLOCK ? EBUSY : errno;
  close(fd);
  errno = error;
  return -1;
}

/* The mode argument is only present with O_CREAT or O_TMPFILE; reading it otherwise
 * would take garbage, which the real call ignores anyway. */
static mode_t TakeMode(int flags, va_list args) {
  if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) return va_arg(args, mode_t);
  return 0;
}

int open(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  mode_t mode = TakeMode(flags, args);
  va_end(args);
  static OpenFn next;
  if (next == NULL) next = (OpenFn)NextSymbol("open");
  return ClaimOpened(next(path, flags, mode));
}

int open64(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  mode_t mode = TakeMode(flags, args);
  va_end(args);
  static OpenFn next;
  if (next == NULL) next = (OpenFn)NextSymbol("open64");
  return ClaimOpened(next(path, flags, mode));
}

int openat(int dir, const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  mode_t mode = TakeMode(flags, args);
  va_end(args);
  static OpenAtFn next;
  if (next == NULL) next = (OpenAtFn)NextSymbol("openat");
  return ClaimOpened(next(dir, path, flags, mode));
}

int openat64(int dir, const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  mode_t mode = TakeMode(flags, args);
  va_end(args);
  static OpenAtFn next;
  if (next == NULL) next = (OpenAtFn)NextSymbol("openat64");
  return ClaimOpened(next(dir, path, flags, mode));
}
