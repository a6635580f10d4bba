// Keys from the terminal, or bytes from whatever stdin is. Reads block in poll, so a
// waiting dialog costs nothing.
#include "terminal/terminal.h"

#include <cerrno>
#include <poll.h>
#include <unistd.h>

namespace {

// A lone Escape and the start of an escape sequence look the same until the next
// byte: the rest of a sequence a terminal sends arrives at once, a person's next key
// much later.
constexpr int kSequenceWaitMs = 50;
// Bytes of one sequence at most; a longer run of parameters is not a key.
constexpr int kSequenceLimit = 32;

// End of the program's input is for good: a terminal's Ctrl-D in canonical mode ends
// one read only, yet the box and then the dialog must both see it.
bool gStdinEnded = false;

}  // namespace

int ReadByte(int fd, int timeoutMs, unsigned char* byte) {
  if (fd == STDIN_FILENO && gStdinEnded) return -1;
  for (;;) {
    pollfd waiter = {fd, POLLIN, 0};
    int ready = poll(&waiter, 1, timeoutMs);
    if (ready < 0 && errno == EINTR) continue;
    if (ready == 0) return 0;
    // A closed stdin (POLLNVAL) or a poll that failed ends the input too.
    if (ready < 0 || (waiter.revents & POLLNVAL)) break;
    ssize_t got = read(fd, byte, 1);
    if (got == 1) return 1;
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    break;  // 0 is end of input; EIO is a terminal that hung up
  }
  if (fd == STDIN_FILENO) gStdinEnded = true;
  return -1;
}

KeyEvent ReadKey(int fd) {
  unsigned char byte = 0;
  if (ReadByte(fd, -1, &byte) < 0) return kKeyEndOfInput;
  switch (byte) {
    case '\r':
    case '\n':
    case 'd':
      return kKeyEnter;
    case 'q':
      return kKeyClose;
    case 0x04:  // Ctrl-D, end of input at a raw terminal
      return kKeyEndOfInput;
    case 0x1B:
      break;
    default:
      return kKeyOther;
  }
  int got = ReadByte(fd, kSequenceWaitMs, &byte);
  if (got == 0) return kKeyEscape;
  if (got < 0) return kKeyEscape;  // Escape, then the input ended: the next read tells
  // CSI (ESC [) and SS3 (ESC O) sequences are swallowed whole; ESC and any other
  // byte is Alt with a key, which means nothing here.
  if (byte == '[') {
    for (int n = 0; n < kSequenceLimit; ++n) {
      if (ReadByte(fd, kSequenceWaitMs, &byte) <= 0) break;
      if (byte >= 0x40 && byte <= 0x7E) break;
    }
  } else if (byte == 'O') {
    ReadByte(fd, kSequenceWaitMs, &byte);
  }
  return kKeyOther;
}
