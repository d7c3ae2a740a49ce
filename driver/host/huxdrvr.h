/*
 * HUXDRVR host interface: every record a host exchanges with the driver,
 * the operation codes and the result codes.
 *
 * All records are little-endian. On 32-bit targets they are laid out exactly
 * as the hosts of this driver expect (pointers and handles 4 bytes); on
 * 64-bit targets pointers are 8 bytes and every record keeps its field order
 * at natural alignment. Records without pointers are byte-identical on every
 * target. The layouts are checked below at compile time.
 *
 * Usable from C (C11) and C++.
 */
#ifndef HUXDRVR_H
#define HUXDRVR_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
#define HUX_STATIC_ASSERT(c, m) static_assert(c, m)
extern "C" {
#else
#define HUX_STATIC_ASSERT(c, m) _Static_assert(c, m)
#endif

/* Operation codes (DriverRequest.op). 0, 8, 9 and 16 are empty slots. */
enum HuxOp {
    HUX_OP_COLD_START = 1,
    HUX_OP_WARM_START = 2,
    HUX_OP_SINGLE_PARSE = 3,
    HUX_OP_BLOCK_PARSE = 4,
    HUX_OP_SINGLE_READ = 5,
    HUX_OP_BLOCK_READ = 6,
    HUX_OP_SINGLE_WRITE = 7,
    HUX_OP_BLOCK_WRITE = 10,
    HUX_OP_END = 11,
    HUX_OP_CLOSE_COM = 12,
    HUX_OP_REOPEN_COM = 13,
    HUX_OP_GET_INFO = 14,
    HUX_OP_CHANGE_PARAMS = 15,
    HUX_OP_COUNT = 17
};

/* Result codes of every operation. */
enum HuxResult {
    HUX_OK = 0,      /* success; also every request once the driver has ended */
    HUX_REFUSED = 1, /* bad address/type/size, no open port, range outside the marker area, no device */
    HUX_FAILED = 2   /* unknown op, discovery failed, six attempts failed, port cannot be (re)opened/closed */
};

/* Log levels the driver passes to the host's err(). */
enum HuxLogLevel { HUX_LOG_INFO = 8, HUX_LOG_ERROR = 32 };

/* Device names at most 11 characters plus NUL. */
#define HUX_NAME_SIZE 12
/* Largest block: 64 data bytes (64 B elements, 32 W elements). */
#define HUX_MAX_BLOCK_BYTES 64
/* Longest frame or reply: 4 header bytes, 64 data bytes, the LRC. */
#define HUX_MAX_FRAME 69

/* Line settings in the Windows serial-port codes. 8 bytes. */
typedef struct LineSettings {
    uint16_t baud;     /* bits per second */
    uint16_t dataBits; /* low byte: data bits */
    uint16_t stopBits; /* low byte: 0 one, 1 one and a half, 2 two */
    uint16_t parity;   /* low byte: 0 none, 1 odd, 2 even, 3 mark, 4 space */
} LineSettings;

/* A port to open: device name, line settings, line-control flags. 22 bytes. */
typedef struct PortParams {
    char name[HUX_NAME_SIZE];
    LineSettings settings;
    uint16_t flags; /* 0 opens the device without configuring the line */
} PortParams;

/* One connection's whole state. The driver uses bytes 0x00 to 0x86. */
typedef struct ComContext {
    int32_t timeout; /* read timeout, 10 ms units */
    uint32_t port;   /* open serial handle; 0 = no port */
    PortParams portParams;
    uint16_t markerStart; /* controller address of marker byte 0 */
    uint16_t markerEnd;   /* last address a transfer may touch; 0 = not known */
    /* Frame areas. A transmitted frame may be up to 69 bytes long and then
     * runs on into rxFrame; the driver addresses both through the record. */
    uint8_t txFrame[32];
    uint8_t rxFrame[HUX_MAX_FRAME];
} ComContext;

/* Data of ColdStart (op 1). */
typedef struct StartParams {
    char name[HUX_NAME_SIZE]; /* "NULLDEV" or "NUL": no communication */
    int32_t enabled;          /* 0: leave the port alone */
    int32_t timeout;          /* 10 ms units */
    LineSettings settings;
} StartParams;

/* Data of ChangeHuxParams (op 15). */
typedef struct ChangeParams {
    char name[HUX_NAME_SIZE];
    int32_t timeout;       /* 0 and -1 keep the current one */
    LineSettings settings; /* taken only when baud is not 0 */
} ChangeParams;

/* A decoded gate address. 20 bytes. */
typedef struct GateAddr {
    int32_t reserved;
    int32_t area;  /* 'B' (0x42) or 'W' (0x57) */
    int32_t index; /* B: byte offset; W: word index */
    int32_t bit;   /* 0..7, or -1 for the whole byte or word */
    int32_t width; /* 8 or 16 */
} GateAddr;

/* Data of SingleAddressParser and BlockAddressParser (ops 3, 4). */
typedef struct GateDef {
    const char *address;
    int32_t unused04;
    int32_t gateType;
    int32_t blockSize;
    GateAddr gateAddr;
} GateDef;

/* Data of the reads and writes (ops 5, 6, 7, 10). */
typedef struct GateTransfer {
    const char *address;
    int32_t unused04;
    GateAddr gateAddr;
    int32_t valueKind; /* 1: signed byte */
    int32_t count;
    int32_t unused24;
    void *values; /* single ops: the word at byte offset 2; blocks: from offset 0 */
} GateTransfer;

/* Data of GetHuxInfo (op 14). */
typedef struct DriverInfo {
    uint32_t infoA;
    const char *deviceName;
    const char *banner;
    uint32_t infoB;
    uint32_t infoC;
    LineSettings defaults;
    uint32_t infoD;
} DriverInfo;

/* The request block passed to HuxMain. */
typedef struct DriverRequest {
    ComContext *context;
    uint32_t op;
    uint32_t unused08;
    uint32_t unused0C;
    void *data;
} DriverRequest;

/* Records without pointers: the same on every target. */
HUX_STATIC_ASSERT(sizeof(LineSettings) == 8, "LineSettings size");
HUX_STATIC_ASSERT(offsetof(LineSettings, dataBits) == 0x02, "LineSettings.dataBits");
HUX_STATIC_ASSERT(offsetof(LineSettings, stopBits) == 0x04, "LineSettings.stopBits");
HUX_STATIC_ASSERT(offsetof(LineSettings, parity) == 0x06, "LineSettings.parity");
HUX_STATIC_ASSERT(sizeof(PortParams) == 22, "PortParams size");
HUX_STATIC_ASSERT(offsetof(PortParams, settings) == 0x0C, "PortParams.settings");
HUX_STATIC_ASSERT(offsetof(PortParams, flags) == 0x14, "PortParams.flags");
HUX_STATIC_ASSERT(offsetof(ComContext, timeout) == 0x00, "ComContext.timeout");
HUX_STATIC_ASSERT(offsetof(ComContext, port) == 0x04, "ComContext.port");
HUX_STATIC_ASSERT(sizeof(((ComContext *)0)->port) == 4, "ComContext.port is 32 bits");
HUX_STATIC_ASSERT(offsetof(ComContext, portParams) == 0x08, "ComContext.portParams");
HUX_STATIC_ASSERT(offsetof(ComContext, portParams.settings) == 0x14, "ComContext settings");
HUX_STATIC_ASSERT(offsetof(ComContext, portParams.flags) == 0x1C, "ComContext flags");
HUX_STATIC_ASSERT(offsetof(ComContext, markerStart) == 0x1E, "ComContext.markerStart");
HUX_STATIC_ASSERT(offsetof(ComContext, markerEnd) == 0x20, "ComContext.markerEnd");
HUX_STATIC_ASSERT(offsetof(ComContext, txFrame) == 0x22, "ComContext.txFrame");
HUX_STATIC_ASSERT(offsetof(ComContext, rxFrame) == 0x42, "ComContext.rxFrame");
HUX_STATIC_ASSERT(offsetof(ComContext, rxFrame) + HUX_MAX_FRAME == 0x87, "ComContext end");
HUX_STATIC_ASSERT(sizeof(ComContext) >= 0x87, "ComContext size");
HUX_STATIC_ASSERT(sizeof(StartParams) == 28, "StartParams size");
HUX_STATIC_ASSERT(offsetof(StartParams, enabled) == 0x0C, "StartParams.enabled");
HUX_STATIC_ASSERT(offsetof(StartParams, timeout) == 0x10, "StartParams.timeout");
HUX_STATIC_ASSERT(offsetof(StartParams, settings) == 0x14, "StartParams.settings");
HUX_STATIC_ASSERT(sizeof(ChangeParams) == 24, "ChangeParams size");
HUX_STATIC_ASSERT(offsetof(ChangeParams, timeout) == 0x0C, "ChangeParams.timeout");
HUX_STATIC_ASSERT(offsetof(ChangeParams, settings) == 0x10, "ChangeParams.settings");
HUX_STATIC_ASSERT(sizeof(GateAddr) == 20, "GateAddr size");
HUX_STATIC_ASSERT(offsetof(GateAddr, area) == 0x04, "GateAddr.area");
HUX_STATIC_ASSERT(offsetof(GateAddr, index) == 0x08, "GateAddr.index");
HUX_STATIC_ASSERT(offsetof(GateAddr, bit) == 0x0C, "GateAddr.bit");
HUX_STATIC_ASSERT(offsetof(GateAddr, width) == 0x10, "GateAddr.width");

#if UINTPTR_MAX == 0xFFFFFFFFu
/* 32-bit hosts: the exact layout. */
HUX_STATIC_ASSERT(sizeof(DriverRequest) == 20, "DriverRequest size");
HUX_STATIC_ASSERT(offsetof(DriverRequest, op) == 0x04, "DriverRequest.op");
HUX_STATIC_ASSERT(offsetof(DriverRequest, data) == 0x10, "DriverRequest.data");
HUX_STATIC_ASSERT(sizeof(GateDef) == 36, "GateDef size");
HUX_STATIC_ASSERT(offsetof(GateDef, gateType) == 0x08, "GateDef.gateType");
HUX_STATIC_ASSERT(offsetof(GateDef, blockSize) == 0x0C, "GateDef.blockSize");
HUX_STATIC_ASSERT(offsetof(GateDef, gateAddr) == 0x10, "GateDef.gateAddr");
HUX_STATIC_ASSERT(sizeof(GateTransfer) == 44, "GateTransfer size");
HUX_STATIC_ASSERT(offsetof(GateTransfer, gateAddr) == 0x08, "GateTransfer.gateAddr");
HUX_STATIC_ASSERT(offsetof(GateTransfer, valueKind) == 0x1C, "GateTransfer.valueKind");
HUX_STATIC_ASSERT(offsetof(GateTransfer, count) == 0x20, "GateTransfer.count");
HUX_STATIC_ASSERT(offsetof(GateTransfer, values) == 0x28, "GateTransfer.values");
HUX_STATIC_ASSERT(sizeof(DriverInfo) == 32, "DriverInfo size");
HUX_STATIC_ASSERT(offsetof(DriverInfo, deviceName) == 0x04, "DriverInfo.deviceName");
HUX_STATIC_ASSERT(offsetof(DriverInfo, banner) == 0x08, "DriverInfo.banner");
HUX_STATIC_ASSERT(offsetof(DriverInfo, infoB) == 0x0C, "DriverInfo.infoB");
HUX_STATIC_ASSERT(offsetof(DriverInfo, infoC) == 0x10, "DriverInfo.infoC");
HUX_STATIC_ASSERT(offsetof(DriverInfo, defaults) == 0x14, "DriverInfo.defaults");
HUX_STATIC_ASSERT(offsetof(DriverInfo, infoD) == 0x1C, "DriverInfo.infoD");
#elif UINTPTR_MAX == 0xFFFFFFFFFFFFFFFFu
/* 64-bit hosts: same field order, natural alignment, 8-byte pointers. */
HUX_STATIC_ASSERT(sizeof(DriverRequest) == 32, "DriverRequest size");
HUX_STATIC_ASSERT(offsetof(DriverRequest, op) == 0x08, "DriverRequest.op");
HUX_STATIC_ASSERT(offsetof(DriverRequest, data) == 0x18, "DriverRequest.data");
HUX_STATIC_ASSERT(sizeof(GateDef) == 40, "GateDef size");
HUX_STATIC_ASSERT(offsetof(GateDef, gateType) == 0x0C, "GateDef.gateType");
HUX_STATIC_ASSERT(offsetof(GateDef, blockSize) == 0x10, "GateDef.blockSize");
HUX_STATIC_ASSERT(offsetof(GateDef, gateAddr) == 0x14, "GateDef.gateAddr");
HUX_STATIC_ASSERT(sizeof(GateTransfer) == 56, "GateTransfer size");
HUX_STATIC_ASSERT(offsetof(GateTransfer, gateAddr) == 0x0C, "GateTransfer.gateAddr");
HUX_STATIC_ASSERT(offsetof(GateTransfer, valueKind) == 0x20, "GateTransfer.valueKind");
HUX_STATIC_ASSERT(offsetof(GateTransfer, count) == 0x24, "GateTransfer.count");
HUX_STATIC_ASSERT(offsetof(GateTransfer, values) == 0x30, "GateTransfer.values");
HUX_STATIC_ASSERT(sizeof(DriverInfo) == 48, "DriverInfo size");
HUX_STATIC_ASSERT(offsetof(DriverInfo, deviceName) == 0x08, "DriverInfo.deviceName");
HUX_STATIC_ASSERT(offsetof(DriverInfo, banner) == 0x10, "DriverInfo.banner");
HUX_STATIC_ASSERT(offsetof(DriverInfo, infoB) == 0x18, "DriverInfo.infoB");
HUX_STATIC_ASSERT(offsetof(DriverInfo, infoC) == 0x1C, "DriverInfo.infoC");
HUX_STATIC_ASSERT(offsetof(DriverInfo, defaults) == 0x20, "DriverInfo.defaults");
HUX_STATIC_ASSERT(offsetof(DriverInfo, infoD) == 0x28, "DriverInfo.infoD");
#endif

/* The entry point: the driver's one export. */
#if defined(_WIN32)
#define HUX_CALL __stdcall
#else
#define HUX_CALL
#endif
typedef int32_t(HUX_CALL *HuxMainFn)(DriverRequest *request);
#ifndef HUXDRVR_BUILDING
int32_t HUX_CALL HuxMain(DriverRequest *request);
#endif

#ifdef __cplusplus
}
#endif
#endif /* HUXDRVR_H */
