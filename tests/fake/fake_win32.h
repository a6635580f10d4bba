// Forced into every source of the detection core built for the tests (gcc -include):
// after the platform's own declarations, each Win32 call the core makes is renamed to
// its fake, so the core runs over scripted ports, threads and a virtual clock. A call
// missed here still names the real function, which the test build does not link.
#pragma once

#include <windows.h>

HANDLE WINAPI FakeCreateFileW(LPCWSTR name, DWORD access, DWORD shareMode,
                              LPSECURITY_ATTRIBUTES security, DWORD creation, DWORD flags,
                              HANDLE templateFile);
BOOL WINAPI FakeCloseHandle(HANDLE handle);
BOOL WINAPI FakeGetCommState(HANDLE port, LPDCB dcb);
BOOL WINAPI FakeSetCommState(HANDLE port, LPDCB dcb);
BOOL WINAPI FakeGetCommTimeouts(HANDLE port, LPCOMMTIMEOUTS timeouts);
BOOL WINAPI FakeSetCommTimeouts(HANDLE port, LPCOMMTIMEOUTS timeouts);
BOOL WINAPI FakeEscapeCommFunction(HANDLE port, DWORD function);
BOOL WINAPI FakeSetCommMask(HANDLE port, DWORD mask);
BOOL WINAPI FakeWaitCommEvent(HANDLE port, LPDWORD events, LPOVERLAPPED overlapped);
BOOL WINAPI FakeReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read,
                         LPOVERLAPPED overlapped);
HANDLE WINAPI FakeCreateThread(LPSECURITY_ATTRIBUTES security, SIZE_T stackSize,
                               LPTHREAD_START_ROUTINE start, LPVOID parameter,
                               DWORD creationFlags, LPDWORD threadId);
DWORD WINAPI FakeWaitForSingleObject(HANDLE handle, DWORD milliseconds);
BOOL WINAPI FakeCancelSynchronousIo(HANDLE thread);
void WINAPI FakeSleep(DWORD milliseconds);
ULONGLONG WINAPI FakeGetTickCount64(void);

#define CreateFileW FakeCreateFileW
#define CloseHandle FakeCloseHandle
#define GetCommState FakeGetCommState
#define SetCommState FakeSetCommState
#define GetCommTimeouts FakeGetCommTimeouts
#define SetCommTimeouts FakeSetCommTimeouts
#define EscapeCommFunction FakeEscapeCommFunction
#define SetCommMask FakeSetCommMask
#define WaitCommEvent FakeWaitCommEvent
#define ReadFile FakeReadFile
#define CreateThread FakeCreateThread
#define WaitForSingleObject FakeWaitForSingleObject
#define CancelSynchronousIo FakeCancelSynchronousIo
#define Sleep FakeSleep
#define GetTickCount64 FakeGetTickCount64
