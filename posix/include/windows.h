// The Win32 surface of the Linux build: exactly the names, types, constants and
// layouts the program uses, spelt as <windows.h> spells them, so that detect/ and
// shell/ compile unchanged on both hosts. Implemented in posix/ on termios, poll and
// pthreads (serial and threads) and on the terminal (the dialog).
#pragma once

#include <cstddef>
#include <cstdint>

#define WINAPI
#define CALLBACK
#define APIENTRY

typedef int BOOL;
typedef unsigned char BYTE;
typedef unsigned short WORD;
typedef uint32_t DWORD;  // 32 bits, as on Windows (where it is an unsigned long)
typedef unsigned long long ULONGLONG;
typedef unsigned int UINT;
typedef int INT;
typedef size_t SIZE_T;
typedef intptr_t INT_PTR;
typedef uintptr_t UINT_PTR;
typedef intptr_t LONG_PTR;
typedef uintptr_t WPARAM;
typedef intptr_t LPARAM;
typedef intptr_t LRESULT;
typedef void* HANDLE;
typedef void* LPVOID;
typedef DWORD* LPDWORD;
typedef wchar_t WCHAR;  // 32 bits here; the program never assumes 16
typedef WCHAR* LPWSTR;
typedef const WCHAR* LPCWSTR;
typedef struct _OVERLAPPED OVERLAPPED, *LPOVERLAPPED;
typedef struct _SECURITY_ATTRIBUTES SECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)
#define MAXDWORD 0xffffffffu
#define INFINITE 0xffffffffu

#define LOWORD(l) ((WORD)(((uintptr_t)(l)) & 0xffff))
#define HIWORD(l) ((WORD)((((uintptr_t)(l)) >> 16) & 0xffff))

// ---- errors --------------------------------------------------------------
#define ERROR_SUCCESS 0u
#define ERROR_FILE_NOT_FOUND 2u
#define ERROR_PATH_NOT_FOUND 3u
#define ERROR_TOO_MANY_OPEN_FILES 4u
#define ERROR_ACCESS_DENIED 5u
#define ERROR_INVALID_HANDLE 6u
#define ERROR_NOT_ENOUGH_MEMORY 8u
#define ERROR_NOT_READY 21u
#define ERROR_BAD_COMMAND 22u
#define ERROR_GEN_FAILURE 31u
#define ERROR_SHARING_VIOLATION 32u
#define ERROR_LOCK_VIOLATION 33u
#define ERROR_NOT_SUPPORTED 50u
#define ERROR_INVALID_PARAMETER 87u
#define ERROR_OPERATION_ABORTED 995u
#define ERROR_DEVICE_NOT_CONNECTED 1167u
#define ERROR_NOT_FOUND 1168u

DWORD GetLastError();
void SetLastError(DWORD error);

// ---- files and serial ports ----------------------------------------------
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define OPEN_EXISTING 3u

#define NOPARITY 0
#define ODDPARITY 1
#define EVENPARITY 2
#define ONESTOPBIT 0
#define ONE5STOPBITS 1
#define TWOSTOPBITS 2

#define DTR_CONTROL_DISABLE 0
#define DTR_CONTROL_ENABLE 1
#define DTR_CONTROL_HANDSHAKE 2
#define RTS_CONTROL_DISABLE 0
#define RTS_CONTROL_ENABLE 1
#define RTS_CONTROL_HANDSHAKE 2
#define RTS_CONTROL_TOGGLE 3

#define SETXOFF 1
#define SETXON 2
#define SETRTS 3
#define CLRRTS 4
#define SETDTR 5
#define CLRDTR 6

#define EV_RXCHAR 0x0001u
#define EV_RXFLAG 0x0002u
#define EV_TXEMPTY 0x0004u
#define EV_CTS 0x0008u
#define EV_DSR 0x0010u
#define EV_RLSD 0x0020u
#define EV_BREAK 0x0040u
#define EV_ERR 0x0080u
#define EV_RING 0x0100u

// Same layout as Windows: 28 bytes, the flags in one 32-bit word at offset 8,
// bit fields allocated from the low bit up (as both MSVC and GCC do on x86).
typedef struct _DCB {
  DWORD DCBlength;
  DWORD BaudRate;
  DWORD fBinary : 1;
  DWORD fParity : 1;
  DWORD fOutxCtsFlow : 1;
  DWORD fOutxDsrFlow : 1;
  DWORD fDtrControl : 2;
  DWORD fDsrSensitivity : 1;
  DWORD fTXContinueOnXoff : 1;
  DWORD fOutX : 1;
  DWORD fInX : 1;
  DWORD fErrorChar : 1;
  DWORD fNull : 1;
  DWORD fRtsControl : 2;
  DWORD fAbortOnError : 1;
  DWORD fDummy2 : 17;
  WORD wReserved;
  WORD XonLim;
  WORD XoffLim;
  BYTE ByteSize;
  BYTE Parity;
  BYTE StopBits;
  char XonChar;
  char XoffChar;
  char ErrorChar;
  char EofChar;
  char EvtChar;
  WORD wReserved1;
} DCB, *LPDCB;
static_assert(sizeof(DCB) == 28, "DCB must keep the Windows layout");

typedef struct _COMMTIMEOUTS {
  DWORD ReadIntervalTimeout;
  DWORD ReadTotalTimeoutMultiplier;
  DWORD ReadTotalTimeoutConstant;
  DWORD WriteTotalTimeoutMultiplier;
  DWORD WriteTotalTimeoutConstant;
} COMMTIMEOUTS, *LPCOMMTIMEOUTS;
static_assert(sizeof(COMMTIMEOUTS) == 20, "COMMTIMEOUTS must keep the Windows layout");

HANDLE CreateFileW(LPCWSTR name, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES security,
                   DWORD creation, DWORD flags, HANDLE templateFile);
BOOL CloseHandle(HANDLE handle);
BOOL GetCommState(HANDLE port, LPDCB dcb);
BOOL SetCommState(HANDLE port, LPDCB dcb);
BOOL GetCommTimeouts(HANDLE port, LPCOMMTIMEOUTS timeouts);
BOOL SetCommTimeouts(HANDLE port, LPCOMMTIMEOUTS timeouts);
BOOL EscapeCommFunction(HANDLE port, DWORD function);
BOOL SetCommMask(HANDLE port, DWORD mask);
BOOL WaitCommEvent(HANDLE port, LPDWORD events, LPOVERLAPPED overlapped);
BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED overlapped);

// ---- threads and time ----------------------------------------------------
typedef DWORD(WINAPI* LPTHREAD_START_ROUTINE)(LPVOID parameter);

#define WAIT_OBJECT_0 0u
#define WAIT_TIMEOUT 258u
#define WAIT_FAILED 0xffffffffu

HANDLE CreateThread(LPSECURITY_ATTRIBUTES security, SIZE_T stackSize, LPTHREAD_START_ROUTINE start,
                    LPVOID parameter, DWORD creationFlags, LPDWORD threadId);
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
BOOL CancelSynchronousIo(HANDLE thread);
void Sleep(DWORD milliseconds);
ULONGLONG GetTickCount64(void);

// ---- the dialog ----------------------------------------------------------
struct HWND__;
struct HINSTANCE__;
struct HDC__;
typedef HWND__* HWND;
typedef HINSTANCE__* HINSTANCE;
typedef HDC__* HDC;

typedef struct tagRECT {
  int left;
  int top;
  int right;
  int bottom;
} RECT;

typedef struct tagPAINTSTRUCT {
  HDC hdc;
  BOOL fErase;
  RECT rcPaint;
  BOOL fRestore;
  BOOL fIncUpdate;
  BYTE rgbReserved[32];
} PAINTSTRUCT, *LPPAINTSTRUCT;

typedef INT_PTR(CALLBACK* DLGPROC)(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

#define MAKEINTRESOURCEW(i) ((LPWSTR)(uintptr_t)((WORD)(i)))

#define WM_PAINT 0x000Fu
#define WM_CLOSE 0x0010u
#define WM_INITDIALOG 0x0110u
#define WM_COMMAND 0x0111u
#define WM_USER 0x0400u

#define IDOK 1
#define IDCANCEL 2
#define MB_OK 0x00000000u
#define SW_SHOWNORMAL 1

void DisableProcessWindowsGhosting();
INT_PTR DialogBoxParamW(HINSTANCE instance, LPCWSTR templateName, HWND owner, DLGPROC dialogProc,
                        LPARAM initParam);
BOOL EndDialog(HWND dialog, INT_PTR result);
HWND GetDlgItem(HWND dialog, int id);
LRESULT SendMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
HDC BeginPaint(HWND window, LPPAINTSTRUCT paint);
BOOL EndPaint(HWND window, const PAINTSTRUCT* paint);
int wsprintfW(LPWSTR buffer, LPCWSTR format, ...);
int MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type);

// The program's entry; on Linux the stand-in's main() calls it.
int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, LPWSTR commandLine, int showCommand);
