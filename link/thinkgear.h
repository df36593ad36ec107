/*
 * The device library's call interface: the operations nictate calls, the
 * data-type codes and the result codes. The library (libthinkgear.so,
 * thinkgear.dll), the program and every test double share this C ABI.
 */
#ifndef NICTATE_LINK_THINKGEAR_H
#define NICTATE_LINK_THINKGEAR_H

#if defined(_WIN32)
#define TG_CALL __cdecl
#else
#define TG_CALL
#endif

#if defined(_WIN32) && defined(THINKGEAR_BUILDING)
#define TG_API __declspec(dllexport)
#elif defined(_WIN32)
#define TG_API __declspec(dllimport)
#else
#define TG_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Threads: every operation may be called from any thread. Connections are
 * independent: a call on one id never waits for a call on another (a read
 * waiting for bytes on one port holds up no other connection). Calls on one
 * id take turns: each waits until any other call on that id has returned,
 * so a TG_GetValue made while another thread's TG_ReadPackets waits on the
 * same id returns after that read (at most some 5 seconds). Each id is
 * handed out once, whichever threads ask. */

/* Serial rates TG_Connect accepts. */
#define TG_BAUD_1200 1200
#define TG_BAUD_2400 2400
#define TG_BAUD_4800 4800
#define TG_BAUD_9600 9600
#define TG_BAUD_57600 57600
#define TG_BAUD_115200 115200

/* Serial data formats TG_Connect accepts: the headset's packet stream. */
#define TG_STREAM_PACKETS 0

/* Data-type codes for TG_GetValueStatus and TG_GetValue. nictate reads
 * attention (2) and blink strength (37); the rest are there for any
 * caller. */
#define TG_DATA_POOR_SIGNAL 1 /* 0 (good contact) to 200 (off the head) */
#define TG_DATA_ATTENTION 2   /* 0 to 100 */
#define TG_DATA_MEDITATION 3  /* 0 to 100 */
#define TG_DATA_RAW 4         /* one raw sample, -32768 to 32767 */
#define TG_DATA_DELTA 5       /* band powers, 0 to 16777215 each */
#define TG_DATA_THETA 6
#define TG_DATA_ALPHA1 7
#define TG_DATA_ALPHA2 8
#define TG_DATA_BETA1 9
#define TG_DATA_BETA2 10
#define TG_DATA_GAMMA1 11
#define TG_DATA_GAMMA2 12
#define TG_DATA_BLINK_STRENGTH 37 /* 1 to 255, while blink detection is on */

/* This library's own code, for TG_GetValue alone: how many milliseconds
 * ago the bytes of the packet that brought the latest blink strength came
 * to the port, as the library can tell (0 before any blink, or where it
 * cannot). Bytes that waited in the port while no call was reading it (the
 * process was busy or stopped) are dated across that time
 * (docs/blinks.md). TG_GetValueStatus gives 0 for it. */
#define TG_DATA_BLINK_AGE 256

/* Result codes: an operation that can fail returns one of its own negative
 * codes when it does; 0 or more (an id, a count, 0) means it did not. */

/* TG_GetNewConnectionId: every id is taken. */
#define TG_ID_NONE_LEFT (-1)

/* TG_SetStreamLog and TG_SetDataLog. */
#define TG_LOG_INVALID_ARGUMENT (-1) /* an invalid id, or a NULL or empty name */
#define TG_LOG_NOT_OPENED (-2)       /* the name is refused or cannot be opened */

/* TG_Connect. */
#define TG_CONNECT_INVALID_ID (-1)
#define TG_CONNECT_PORT_NOT_OPENED (-2)
#define TG_CONNECT_INVALID_BAUD (-3)
#define TG_CONNECT_INVALID_FORMAT (-4)

/* TG_ReadPackets. */
#define TG_READ_INVALID_ID (-1)
#define TG_READ_NO_BYTES (-2)
#define TG_READ_IO_ERROR (-3)

/* TG_EnableBlinkDetection: an invalid id, or an enable flag other than 0
 * and 1. */
#define TG_BLINK_INVALID_ARGUMENT (-1)

/* TG_GetValueStatus: an invalid id. */
#define TG_STATUS_INVALID_ID (-1)

/* A version number of the library; it only identifies the build. */
TG_API int TG_CALL TG_GetDriverVersion(void);

/* A new connection id (0 or more), or TG_ID_NONE_LEFT when every id is
 * taken. An id is never released. */
TG_API int TG_CALL TG_GetNewConnectionId(void);

/* Creates or truncates the file the connection logs every byte it reads
 * to. 0 on success; TG_LOG_INVALID_ARGUMENT for an invalid id or no name,
 * TG_LOG_NOT_OPENED for a name that is refused or cannot be opened for
 * writing (the log then keeps the file it had).
 * Only a regular file, or a device that takes every write at once such as
 * /dev/null, is a log: a name that points at a FIFO, a socket, a terminal
 * or another device is refused without waiting. A file that another log
 * holds (another connection's, the connection's other log, another
 * program's) is refused and left as it is; the log's own file named again
 * is started again (docs/logs.md). */
TG_API int TG_CALL TG_SetStreamLog(int connectionId, const char *filename);

/* Creates or truncates the file the connection logs every decoded value
 * to; results and names as for TG_SetStreamLog. */
TG_API int TG_CALL TG_SetDataLog(int connectionId, const char *filename);

/* Opens the serial port and attaches it to the connection. The arguments
 * are checked first, and a call that fails on them changes nothing (a port
 * the connection holds stays held): TG_CONNECT_INVALID_ID, then
 * TG_CONNECT_INVALID_BAUD for a rate not a TG_BAUD_* value,
 * TG_CONNECT_INVALID_FORMAT for a format not a TG_STREAM_* value, and
 * TG_CONNECT_PORT_NOT_OPENED for a NULL or empty name (checked in that
 * order). Otherwise the port the connection holds, if any, is let go, and
 * the named one opened: 0 on success, TG_CONNECT_PORT_NOT_OPENED when the
 * name cannot be opened as a serial port or the port is refused (a device
 * that is no terminal, refused unopened; held by another program, some
 * session's controlling terminal, a pseudo-terminal master; docs/ports.md),
 * the connection then holding no port. */
TG_API int TG_CALL TG_Connect(int connectionId, const char *serialPortName, int serialBaudrate,
                              int serialDataFormat);

/* Reads until numPackets whole packets have been framed, and returns how
 * many were (0 when bytes came but no whole packet). Waits in the OS for
 * bytes; TG_READ_NO_BYTES when none arrive within the read timeout,
 * TG_READ_INVALID_ID for an invalid or unconnected id, TG_READ_IO_ERROR
 * when the device is gone. While it is gone, each call tries its port once
 * more, taking only the device that was lost (docs/ports.md), and returns
 * TG_READ_IO_ERROR after a pause of a second while it stays away. */
TG_API int TG_CALL TG_ReadPackets(int connectionId, int numPackets);

/* 1 switches blink detection on (blink-strength rows then update
 * TG_DATA_BLINK_STRENGTH), 0 off. 0 on success, TG_BLINK_INVALID_ARGUMENT
 * for an invalid id or flag. */
TG_API int TG_CALL TG_EnableBlinkDetection(int connectionId, int enable);

/* How many times the value of dataType was updated by the most recent
 * TG_ReadPackets call: non-zero means a new value is there. 0 for an
 * unknown code, TG_STATUS_INVALID_ID for an invalid id. */
TG_API int TG_CALL TG_GetValueStatus(int connectionId, int dataType);

/* The latest value of dataType (0 before any arrived or for an invalid
 * id or code). */
TG_API float TG_CALL TG_GetValue(int connectionId, int dataType);

#ifdef __cplusplus
}
#endif

#endif
