// The stand-in's own helpers behind the Win32 handle calls: one fixed table holds
// every port and thread handle, so that a handle closed under a caller fails
// cleanly instead of reaching freed memory or a reused descriptor.
#pragma once

#include <windows.h>

#include <mutex>

enum HandleKind { kHandleFree, kHandlePort, kHandleThread };

struct ThreadRecord;

struct PortRecord {
  int fd;            // the device, flock-ed and TIOCEXCL-ed
  int wakeFd;        // an eventfd, made readable by CloseHandle to end a blocked wait
  std::mutex mutex;  // guards the fields below
  COMMTIMEOUTS timeouts;
  DWORD mask;
  BYTE dtrControl;
  BYTE rtsControl;
};

struct HandleSlot {
  HandleKind kind;
  uint32_t generation;  // part of the handle value; moves on at every close
  int32_t references;   // callers inside a call on this handle
  bool closing;         // closed; released when the last caller leaves
  PortRecord port;
  ThreadRecord* thread;
};

// Registers an open port or a started thread; nullptr when the table is full.
HANDLE InsertPort(int fd, int wakeFd);
HANDLE InsertThread(ThreadRecord* thread);

// Takes a reference on a live handle of the kind, or sets ERROR_INVALID_HANDLE and
// returns nullptr. Every slot acquired is released once.
HandleSlot* AcquireHandle(HANDLE handle, HandleKind kind);
void ReleaseHandle(HandleSlot* slot);

// Bracket a port's open, from its checks to its entry in the table, so that
// ClosePortsForExit never misses a port being opened.
void BeginPortOpen();
void EndPortOpen();
// For a process about to end by a signal: lets no port open from now on, closes
// every open port handle as CloseHandle does (a caller inside a call on one is woken
// and fails; the last one out closes the descriptor) and waits, at most boundMs, until
// every descriptor is closed. No thread is left reading a closed descriptor, and a
// pseudo-terminal gets its exclusivity back before the process goes.
void ClosePortsForExit(int boundMs);

// Drops the reference a thread handle holds on its record (threads.cpp).
void ReleaseThreadRecord(ThreadRecord* thread);

// The Win32 error code for an errno value, as Windows reports the like failure.
DWORD ErrorFromErrno(int error);
