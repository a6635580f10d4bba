// The Linux program's signals: a resize redraws the dialog; SIGINT, SIGTERM, SIGHUP
// and SIGQUIT close the open ports, give the terminal back and end the process by
// the same signal.
#include "program/program.h"

#include "terminal/terminal.h"
#include "win32/handles.h"

#include <pthread.h>
#include <unistd.h>

#include <csignal>

namespace {

// How long a fatal signal waits for the ports to be closed; callers inside a call on
// a port are woken at once, so only an open that never returns takes it.
constexpr int kExitCloseBoundMs = 1000;

void* WatchSignals(void* parameter) {
  const sigset_t* watched = static_cast<const sigset_t*>(parameter);
  for (;;) {
    int signal = 0;
    if (sigwait(watched, &signal) != 0) continue;
    if (signal == SIGWINCH) {
      ResizeTerminal();
      continue;
    }
    // Close the port a scan has open, give the terminal back, then die of the same
    // signal, so whoever started the program learns how it ended (a shell reports
    // 128 + its number) and a script's loop stops as for any command killed by it.
    // The ports are closed here, not by the scanning thread, which may be asleep for
    // seconds or inside a call on the port; the call fails as on any closed handle,
    // and the descriptor is closed once no thread is inside a call on it.
    ClosePortsForExit(kExitCloseBoundMs);
    ReleaseTerminalForExit();
    std::signal(signal, SIG_DFL);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signal);
    pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
    raise(signal);
    _exit(128 + signal);  // not reached unless the signal is ignored
  }
  return nullptr;
}

}  // namespace

void StartSignalWatch() {
  static sigset_t watched;
  sigemptyset(&watched);
  sigaddset(&watched, SIGWINCH);
  // A fatal signal the program was started with ignored stays ignored, never taken
  // here: nohup ignores SIGHUP, a non-interactive shell its background jobs' SIGINT
  // and SIGQUIT. A blocked signal is kept for sigwait even when ignored.
  for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
    struct sigaction now = {};
    if (sigaction(signal, nullptr, &now) == 0 && now.sa_handler == SIG_IGN) continue;
    sigaddset(&watched, signal);
  }
  // Blocked here, before any other thread exists, so every thread inherits the mask
  // and only the watcher takes these signals.
  if (pthread_sigmask(SIG_BLOCK, &watched, nullptr) != 0) return;
  pthread_t watcher;
  if (pthread_create(&watcher, nullptr, WatchSignals, &watched) != 0) {
    pthread_sigmask(SIG_UNBLOCK, &watched, nullptr);
    return;
  }
  pthread_detach(watcher);
}
