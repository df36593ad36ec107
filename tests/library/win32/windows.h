// A stand-in for <windows.h> with just what thinkgear/serial_win32.cpp uses,
// so that the Windows serial back end can be compiled and driven natively:
// tests/library/win32_serial_test.cpp implements the functions over a port
// of its own and counts the calls that reach the driver.
#ifndef NICTATE_TESTS_FAKE_WINDOWS_H
#define NICTATE_TESTS_FAKE_WINDOWS_H

#include <cstdint>

typedef uint32_t DWORD;
typedef int BOOL;
typedef void *HANDLE;
typedef const char *LPCSTR;

#define TRUE 1
#define FALSE 0
#define MAXDWORD 0xFFFFFFFFu
#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(-1))
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define OPEN_EXISTING 3
#define FILE_ATTRIBUTE_NORMAL 0x80
#define NOPARITY 0
#define ONESTOPBIT 0
#define DTR_CONTROL_ENABLE 1
#define RTS_CONTROL_ENABLE 1
#define ERROR_INVALID_PARAMETER 87
#define ERROR_NOT_ENOUGH_MEMORY 8

struct DCB {
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
  uint8_t ByteSize;
  uint8_t Parity;
  uint8_t StopBits;
};

struct COMMTIMEOUTS {
  DWORD ReadIntervalTimeout;
  DWORD ReadTotalTimeoutMultiplier;
  DWORD ReadTotalTimeoutConstant;
  DWORD WriteTotalTimeoutMultiplier;
  DWORD WriteTotalTimeoutConstant;
};

struct COMSTAT {
  DWORD cbInQue;
  DWORD cbOutQue;
};

HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD share, void *security, DWORD disposition,
                   DWORD flags, HANDLE templateFile);
BOOL CloseHandle(HANDLE handle);
BOOL GetCommState(HANDLE handle, DCB *dcb);
BOOL SetCommState(HANDLE handle, DCB *dcb);
BOOL SetCommTimeouts(HANDLE handle, COMMTIMEOUTS *timeouts);
BOOL ClearCommError(HANDLE handle, DWORD *errors, COMSTAT *status);
BOOL ReadFile(HANDLE handle, void *buffer, DWORD size, DWORD *read, void *overlapped);
DWORD GetLastError(void);
DWORD GetTickCount(void);
void Sleep(DWORD milliseconds);

#endif
