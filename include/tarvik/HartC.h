/*
 * tarvik/HartC.h - the HART master of the fast link (HartMaster.h) as plain C functions, for hosts
 * that load a library by its C names (the Python package does, through ctypes).
 *
 * A master is an opaque handle: TarvikHartCreate, TarvikHartOpen on a port, any number of calls,
 * TarvikHartDestroy. Calls on one master from several threads are serialised by the master.
 * Replies are decoded by the library's one HART codec: TarvikHartDecode turns the data of any
 * universal command into named fields (name, kind, value); other commands give no fields and
 * their raw data only.
 *
 * Every function returns one of the library's result codes (TarvikDLL.h) and never lets an
 * exception out. Beyond those of HartMaster.h:
 *   ResultBadPort        the master handle is NULL, or the master is not open;
 *   ResultBadLength      a NULL or too small output, a size outside its range, a polling address
 *                        beyond 63 (nothing is sent);
 *   ResultBadTextLength  a text that does not fit its field or its packed alphabet (nothing sent).
 * These functions live in libtarvik_link (Linux) / TarvikHart.dll (Windows), never in the
 * library of the 36 exports, whose interface they leave as it is.
 */
#ifndef TARVIK_HART_C_H
#define TARVIK_HART_C_H

#include <stddef.h>
#include <stdint.h>

#include "../TarvikDLL.h"

#if defined(_WIN32)
/* TarvikHart.dll exports exactly these names through its module definition. */
#if defined(TARVIK_BUILDING_LINK) || defined(TARVIK_HART_C_STATIC)
#define TARVIK_HART_C_API
#else
#define TARVIK_HART_C_API __declspec(dllimport)
#endif
#elif defined(TARVIK_BUILDING_LINK)
#define TARVIK_HART_C_API __attribute__((visibility("default")))
#else
#define TARVIK_HART_C_API
#endif

/* The library's calling convention (TarvikDLL.h), under a name of this surface's own. */
#define TARVIK_HART_CALL TARVIK_CALL

#ifdef __cplusplus
extern "C" {
#endif

#define TARVIK_HART_MAX_DATA 255
#define TARVIK_HART_LONG_ADDRESS 5
#define TARVIK_HART_FIELD_TEXT 36 /* the longest text (32) or byte field (25), and a NUL */
#define TARVIK_HART_MAX_FIELDS 32 /* fields enough for any reply */

typedef struct TarvikHartMaster TarvikHartMaster;

/* A device's address: its polling address 0..63 (short frames) or its five-byte long address
 * (long frames; the master and burst bits of the first byte are ignored). */
typedef struct TarvikHartAddress {
    uint8_t isLong;
    uint8_t polling;
    uint8_t unique[TARVIK_HART_LONG_ADDRESS];
} TarvikHartAddress;

/* As MasterOptions in HartMaster.h; TarvikHartDefaultOptions fills in the defaults. */
typedef struct TarvikHartOptions {
    int32_t timeoutMs;     /* 0: the exports' wait for the rate */
    int32_t retries;       /* further tries on a missing or damaged reply */
    int32_t busyRetries;   /* further tries while the device answers busy */
    int32_t busyBackoffMs; /* the first back-off, doubled each time */
    int32_t secondary;     /* nonzero: requests come from the secondary master */
    int32_t preambles;     /* for devices whose command-0 reply has not been seen (2..20) */
} TarvikHartOptions;

/* One command's outcome. `result` as the function returns; when it is ResultOk, `judged` says
 * what the reply means as the library's exports judge theirs: ResultOk, ResultDeviceStatus (the
 * field-device status flags a condition: malfunction, more status, saturated current, variables
 * out of limits) or ResultErrorReply (a response code other than success). */
typedef struct TarvikHartReply {
    int32_t result;
    int32_t judged;
    int32_t attempts; /* requests sent */
    uint32_t size;    /* bytes in data */
    uint8_t responseCode;
    uint8_t deviceStatus;
    uint8_t data[TARVIK_HART_MAX_DATA];
} TarvikHartReply;

/* A burst frame a device sent unasked. */
typedef struct TarvikHartFrame {
    TarvikHartAddress address; /* the sender */
    uint8_t command;
    uint8_t responseCode;
    uint8_t deviceStatus;
    uint32_t size;
    uint8_t data[TARVIK_HART_MAX_DATA];
} TarvikHartFrame;

enum TarvikHartFieldKind {
    TarvikHartInteger = 1, /* number holds a whole number */
    TarvikHartFloat = 2,   /* number holds a single-precision value */
    TarvikHartText = 3,    /* text holds `size` characters and a NUL */
    TarvikHartBytes = 4    /* text holds `size` bytes */
};

/* One decoded value. `name` is static text ("pv", "pv_unit", "tag", "device_id", ...). */
typedef struct TarvikHartField {
    const char* name;
    int32_t kind;
    uint32_t size;
    double number;
    char text[TARVIK_HART_FIELD_TEXT];
} TarvikHartField;

/* Scan: each polling address as it is done; `identity` holds the fields of the command-0 reply
 * of a device found there (`count` of them), NULL and 0 when none answered. */
typedef void(TARVIK_HART_CALL* TarvikHartScanCallback)(void* context, int32_t polling,
                                                       const TarvikHartField* identity, int32_t count);
/* ScanUntil: as the scan callback; return nonzero to go on scanning, 0 to end the scan after this
 * address (the host was interrupted, or its callback failed). */
typedef int32_t(TARVIK_HART_CALL* TarvikHartScanStopCallback)(void* context, int32_t polling,
                                                              const TarvikHartField* identity, int32_t count);
/* Listen: one burst frame; return nonzero to go on listening, 0 to stop. */
typedef int32_t(TARVIK_HART_CALL* TarvikHartFrameCallback)(void* context, const TarvikHartFrame* frame);

/* A new master (NULL when memory runs out); TarvikHartDestroy closes and frees it (NULL: nothing). */
TARVIK_HART_C_API TarvikHartMaster* TARVIK_HART_CALL TarvikHartCreate(void);
TARVIK_HART_C_API void TARVIK_HART_CALL TarvikHartDestroy(TarvikHartMaster* master);
TARVIK_HART_C_API int32_t TARVIK_HART_CALL TarvikHartDefaultOptions(TarvikHartOptions* options);
/* Opens port 1..40 at one of the eight rates; `options` NULL: the defaults. */
TARVIK_HART_C_API int32_t TARVIK_HART_CALL TarvikHartOpen(TarvikHartMaster* master, int32_t port,
                                                          int32_t baud, const TarvikHartOptions* options);
TARVIK_HART_C_API int32_t TARVIK_HART_CALL TarvikHartClose(TarvikHartMaster* master);

/* Any command 0..255 with `size` (0..255) bytes of `data` (NULL when size is 0). */
TARVIK_HART_C_API int32_t TARVIK_HART_CALL TarvikHartCommand(TarvikHartMaster* master,
                                                             const TarvikHartAddress* address,
                                                             int32_t command, const uint8_t* data,
                                                             int32_t size, TarvikHartReply* reply);
/* The fields of `command`'s reply data, at most `capacity` (TARVIK_HART_MAX_FIELDS hold any reply;
 * fewer: ResultBadLength and the first `capacity`). *count is 0 for a command the codec does not
 * decode. */
TARVIK_HART_C_API int32_t TARVIK_HART_CALL TarvikHartDecode(int32_t command, const uint8_t* data,
                                                            int32_t size, TarvikHartField* fields,
                                                            int32_t capacity, int32_t* count);

/* Command 0 at polling addresses first..last (0..63), `perAddressMs` each (0: the line's own);
 * *found (may be NULL) gets the number of devices found. */
TARVIK_HART_C_API int32_t TARVIK_HART_CALL TarvikHartScan(TarvikHartMaster* master, int32_t first,
                                                          int32_t last, int32_t perAddressMs,
                                                          TarvikHartScanCallback progress, void* context,
                                                          int32_t* found);
/* TarvikHartScan whose callback (not NULL) can end the scan: *found counts the devices found up
 * to there. */
TARVIK_HART_C_API int32_t TARVIK_HART_CALL TarvikHartScanUntil(TarvikHartMaster* master, int32_t first,
                                                               int32_t last, int32_t perAddressMs,
                                                               TarvikHartScanStopCallback progress,
                                                               void* context, int32_t* found);
/* Hands each burst frame to `onFrame` for `durationMs` or until it returns 0. The callback runs
 * inside the call and must not call the master. */
TARVIK_HART_C_API int32_t TARVIK_HART_CALL TarvikHartListen(TarvikHartMaster* master, int32_t durationMs,
                                                            TarvikHartFrameCallback onFrame, void* context);

/* Writes. `reply` gets the device's echo: what it now holds. */
/* Command 13 then 18: the tag, keeping the date and (descriptor NULL) the descriptor. */
TARVIK_HART_C_API int32_t TARVIK_HART_CALL TarvikHartWriteTag(TarvikHartMaster* master,
                                                              const TarvikHartAddress* address,
                                                              const char* tag, const char* descriptor,
                                                              TarvikHartReply* reply);
/* Command 17: the message (up to 32 characters of packed text). */
TARVIK_HART_C_API int32_t TARVIK_HART_CALL TarvikHartWriteMessage(TarvikHartMaster* master,
                                                                  const TarvikHartAddress* address,
                                                                  const char* message,
                                                                  TarvikHartReply* reply);
/* Command 6: a new polling address 0..63. */
TARVIK_HART_C_API int32_t TARVIK_HART_CALL TarvikHartWritePollingAddress(TarvikHartMaster* master,
                                                                         const TarvikHartAddress* address,
                                                                         int32_t polling,
                                                                         TarvikHartReply* reply);

#ifdef __cplusplus
}
#endif

#endif
