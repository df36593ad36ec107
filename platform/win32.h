/*
 * The Windows operations nictate needs: Sleep for its waits, and
 * GetCursorPos, GetSystemMetrics and SendInput for the click. On Windows
 * they are kernel32's and user32's own; elsewhere the platform/ sources
 * provide them with the same names, types and meaning.
 */
#ifndef NICTATE_PLATFORM_WIN32_H
#define NICTATE_PLATFORM_WIN32_H

#if defined(_WIN32)

#include <windows.h>

#else

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef int BOOL;
typedef int32_t LONG;
typedef uint32_t DWORD;
typedef uint32_t UINT;
typedef uintptr_t ULONG_PTR;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

typedef struct tagPOINT {
  LONG x;
  LONG y;
} POINT;

typedef struct tagMOUSEINPUT {
  LONG dx;
  LONG dy;
  DWORD mouseData;
  DWORD dwFlags;
  DWORD time;
  ULONG_PTR dwExtraInfo;
} MOUSEINPUT;

typedef struct tagINPUT {
  DWORD type;
  union {
    MOUSEINPUT mi;
  };
} INPUT;

#define INPUT_MOUSE 0

#define MOUSEEVENTF_MOVE 0x0001
#define MOUSEEVENTF_LEFTDOWN 0x0002
#define MOUSEEVENTF_LEFTUP 0x0004
#define MOUSEEVENTF_ABSOLUTE 0x8000

#define SM_CXSCREEN 0
#define SM_CYSCREEN 1

/* Suspends the calling thread for at least the given milliseconds. */
void Sleep(DWORD dwMilliseconds);

/* Fills *lpPoint with the pointer's position in pixels, relative to the
 * primary monitor's top-left corner. FALSE when it cannot be read. */
BOOL GetCursorPos(POINT *lpPoint);

/* SM_CXSCREEN / SM_CYSCREEN: the primary monitor's width / height in
 * pixels; 0 when unknown (no display) or for any other index. */
int GetSystemMetrics(int nIndex);

/* Injects the mouse records in order. An absolute move maps 0..65536 onto
 * the primary monitor's width and height, each coordinate turned back into
 * a pixel by flooring n * size / 65536. Returns how many records were
 * injected; 0 when cbSize is not sizeof(INPUT) or nothing could be. */
UINT SendInput(UINT cInputs, INPUT *pInputs, int cbSize);

#ifdef __cplusplus
}
#endif

#endif

#include <stdint.h>

/* How Windows turns an absolute coordinate of SendInput, on the scale where
 * the screen's extent spans 65536 units, back into a pixel:
 * floor(normalized * extent / 65536). */
static inline int64_t AbsoluteToPixel(int64_t normalized, int extent) {
  const int64_t product = normalized * extent;
  int64_t pixel = product / 65536;
  if (product % 65536 != 0 && product < 0) {
    --pixel; /* floor, not truncation */
  }
  return pixel;
}

#endif
