/* veldrv.h - VELDRV, serial link library for FX-series and A-series
 * programmable controllers.
 *
 * A caller opens a link handle on a port for one controller family, reads
 * and writes bytes or 16-bit words of an operand area through it, and closes
 * it. Every call is synchronous and returns 0 (VelOpen: a handle 0..31) or a
 * negative status code. Calling convention: VELDRV_CALL, the platform's
 * default C convention (cdecl on 32-bit Windows); a program that uses the
 * 32-bit Windows DLL built with VELDRV_STDCALL defines VELDRV_STDCALL before
 * including this header, and the functions are __stdcall (names exported
 * undecorated either way). Any thread may call any function;
 * calls on one handle run one after the other, transfers on one port never
 * interleave.
 *
 * Operand letters (upper or lower case): D data registers, E/I/X inputs
 * (read only), A/O/Y outputs, M markers, S raw controller address. On FX
 * controllers X, Y and M address the controllers' own byte areas (X0 at
 * 0x0080, Y0 at 0x00A0, M0 at 0x0100); VELDRV_FX_AREAS=legacy, read at
 * each open, puts them back at 0x0400, 0x0500 and 0x0800.
 *
 * Transfers are cut into frames of at most 254 bytes (fewer with
 * VELDRV_FRAME_BYTES, read at each open); the first failed frame
 * ends the transfer (frames before it stay done) and its status is returned.
 * A count of 0 sends nothing and returns the status the last transfer on the
 * port left: 0 after a success, else that failure's code.
 */
#ifndef VELDRV_H
#define VELDRV_H

#if defined(_WIN32)
#if defined(VELDRV_BUILDING)
#define VELDRV_API __declspec(dllexport)
#else
#define VELDRV_API __declspec(dllimport)
#endif
#elif defined(__GNUC__)
#define VELDRV_API __attribute__((visibility("default")))
#else
#define VELDRV_API
#endif

/* 32-bit Windows has two conventions; the DLL is built for one of them. */
#if defined(_WIN32) && !defined(_WIN64) && defined(VELDRV_STDCALL)
#define VELDRV_CALL __stdcall
#else
#define VELDRV_CALL
#endif

/* Status codes. */
#define VEL_OK 0
#define VEL_TIMEOUT (-1)      /* the controller did not answer within 990 ms */
#define VEL_NO_HANDLE (-2)    /* VelOpen: all 32 handles are in use */
#define VEL_CHECKSUM (-3)     /* FX read reply checksum wrong */
#define VEL_PORT (-4)         /* port number invalid, not open, or not openable */
#define VEL_BAD_ARGUMENT (-5) /* null buffer, or a count outside 0..65535 bytes / 0..32767 words */
#define VEL_WRONG_CHAR (-6)   /* a wrong character or value was received */
#define VEL_BAD_LETTER (-10)  /* operand letter not valid for this function */
#define VEL_BAD_HANDLE (-99)  /* handle not in 0..31 or not open */

#ifdef __cplusplus
extern "C" {
#endif

/* Opens a link on port (0..15 = COM1..COM16; low 16 bits used) for an FX
 * controller (fx nonzero, 9600 7E1) or an A-series controller (fx zero,
 * 9600 8O1). Returns a handle 0..31, VEL_NO_HANDLE or VEL_PORT. */
VELDRV_API int VELDRV_CALL VelOpen(int port, int fx);

/* Closes a handle; the port closes with its last handle. Returns 0, or
 * VEL_BAD_HANDLE for a handle that is not open. */
VELDRV_API int VELDRV_CALL VelClose(int handle);

/* Reads count bytes of the area from byte number start into buffer. */
VELDRV_API int VELDRV_CALL VelRdB(int handle, int letter, int start, int count, void *buffer);

/* Reads count 16-bit words from word number start; bytes in controller order. */
VELDRV_API int VELDRV_CALL VelRdW(int handle, int letter, int start, int count, void *buffer);

/* Writes count bytes from buffer (not to inputs: VEL_BAD_LETTER). */
VELDRV_API int VELDRV_CALL VelWrB(int handle, int letter, int start, int count, void *buffer);

/* Writes count 16-bit words from buffer (not to inputs: VEL_BAD_LETTER). */
VELDRV_API int VELDRV_CALL VelWrW(int handle, int letter, int start, int count, void *buffer);

/* The reason of the last failure on the handle's port: copies a short
 * English sentence, "COMn (device): what happened", into text
 * (NUL-terminated, cut to size bytes; at most 255 characters) and returns
 * that failure's status code, or 0 with an empty text when the last
 * transfer succeeded. A device that is gone (a hang-up, a server that
 * closed or reset the connection, an adapter pulled out) says
 * "device lost": close every handle on the port and open it again. With
 * handle -1: the calling thread's last failed VelOpen; or, once, 0 with a
 * text after a VelOpen that succeeded although VELDRV_TRACE names a target
 * that cannot be opened (the trace is then off). VEL_BAD_HANDLE for a
 * handle that is not open. text may be NULL when size is 0. */
VELDRV_API int VELDRV_CALL VelReason(int handle, char *text, int size);

/* A static English text for a status code; "unknown status" for others. */
VELDRV_API const char *VELDRV_CALL VelStatusText(int code);

#ifdef __cplusplus
}
#endif

#endif /* VELDRV_H */
