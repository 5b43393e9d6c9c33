/* vesk: read Windows NT event logs as rows of eight Automation values.
 *
 * A caller opens a log by computer and log name, asks for the range of record
 * numbers, fetches rows by number, reads the text of the last failure and
 * closes the handle.  Every BSTR handed out belongs to the caller, who frees
 * it with VariantClear.
 *
 * On Windows the Automation types come from the system's headers.  Elsewhere
 * this header declares them with Windows' layouts, and the library exports the
 * few Automation helpers a caller needs to release what it receives.
 */
#ifndef VESK_H
#define VESK_H

#include <stdint.h>

#if defined(_WIN32)
#include <windows.h>

#include <oleauto.h>
#define VESK_API __stdcall
#define VESK_EXTERN
#else
#include <stddef.h>

#define VESK_API
#if defined(VESK_BUILDING_LIBRARY)
#define VESK_EXTERN __attribute__((visibility("default")))
#else
#define VESK_EXTERN
#endif

#ifndef VESK_OLE_TYPES_DEFINED
#define VESK_OLE_TYPES_DEFINED
#ifdef __cplusplus
typedef char16_t OLECHAR;
#else
typedef uint16_t OLECHAR;
#endif
typedef OLECHAR *BSTR;
typedef uint16_t VARTYPE;
typedef double DATE;
typedef int32_t HRESULT;

/* Same layout as Windows: a 16-bit type, three reserved words, then an
 * 8-byte value area that is two pointers wide (16 bytes in all on 32-bit
 * systems, 24 on 64-bit ones). */
typedef struct tagVARIANT {
  VARTYPE vt;
  uint16_t wReserved1;
  uint16_t wReserved2;
  uint16_t wReserved3;
  union {
    int64_t llVal;
    int32_t lVal;
    int16_t iVal;
    uint8_t bVal;
    float fltVal;
    double dblVal;
    DATE date;
    BSTR bstrVal;
    void *byref;
    struct {
      void *pvRecord;
      void *pRecInfo;
    } brecVal;
  } n3;
} VARIANT;

enum VARENUM {
  VT_EMPTY = 0,
  VT_NULL = 1,
  VT_I2 = 2,
  VT_I4 = 3,
  VT_R4 = 4,
  VT_R8 = 5,
  VT_DATE = 7,
  VT_BSTR = 8
};

#define V_VT(v) ((v)->vt)
#define V_I4(v) ((v)->n3.lVal)
#define V_DATE(v) ((v)->n3.date)
#define V_BSTR(v) ((v)->n3.bstrVal)

#define S_OK ((HRESULT)0)
#define DISP_E_BADVARTYPE ((HRESULT)0x80020008)
#define E_INVALIDARG ((HRESULT)0x80070057)

#ifdef __cplusplus
extern "C" {
#endif
VESK_EXTERN void VariantInit(VARIANT *v);
VESK_EXTERN HRESULT VariantClear(VARIANT *v);
VESK_EXTERN BSTR SysAllocString(const OLECHAR *text);
VESK_EXTERN BSTR SysAllocStringLen(const OLECHAR *text, unsigned int length);
VESK_EXTERN void SysFreeString(BSTR text);
VESK_EXTERN unsigned int SysStringLen(BSTR text);
#ifdef __cplusplus
}
#endif
#endif /* VESK_OLE_TYPES_DEFINED */
#endif /* _WIN32 */

/* Stack: one call of any export needs at most 3 KB of stack for the
 * library's own frames (optimised builds: VeskOpen, VeskGetOldest,
 * VeskGetNewest and VeskGetRec about 2.4 KB each, 2 KB of it the area in
 * which an error text is formatted; VeskGetError and VeskClose under 200
 * bytes), plus what the system functions it calls need.  The read buffer and
 * every cache live in the handle's context on the heap.
 *
 * The handle is a 32-bit value on every system.  A closed handle's value is
 * never handed out again by the same process. */
typedef int32_t VESKHANDLE;

#ifdef __cplusplus
extern "C" {
#endif

/* Opens `log` on `machine` (null or empty: the local computer).  Both names
 * are in the system's ANSI code page.  *handle is written before anything can
 * fail: it must be closed with VeskClose whatever the result.
 * Returns 0 when the log is open, -1 on failure (text from VeskGetError). */
VESK_EXTERN int32_t VESK_API VeskOpen(const char *machine, const char *log,
                                      VESKHANDLE *handle);

/* Releases everything the handle holds.  Returns 0. */
VESK_EXTERN int32_t VESK_API VeskClose(VESKHANDLE handle);

/* 1 and a new BSTR in *out when an error text is pending, 0 and VT_EMPTY
 * otherwise.  Does not clear the pending text. */
VESK_EXTERN int32_t VESK_API VeskGetError(VESKHANDLE handle, VARIANT *out);

/* Number of the oldest record: 0 on success, 1 on failure. */
VESK_EXTERN int32_t VESK_API VeskGetOldest(VESKHANDLE handle, int32_t *out);

/* Number of the newest record (oldest - 1 for an empty log): 0 on success,
 * 1 on failure. */
VESK_EXTERN int32_t VESK_API VeskGetNewest(VESKHANDLE handle, int32_t *out);

/* Fills row[0..7] (time, event number, type, category, user, source,
 * computer, message) for record `number`.  0 when the row was filled without
 * error; -1 otherwise (also past the end of the log, when VeskGetError then
 * reports nothing). */
VESK_EXTERN int32_t VESK_API VeskGetRec(VESKHANDLE handle, uint32_t number, VARIANT *row);

#ifdef __cplusplus
}
#endif

#endif /* VESK_H */
