/*
 * A small Windows host that loads HUXDRVR.dll the way a host application
 * does and checks what a host can see of it without a controller: the entry
 * point by name and by ordinal 1, its calling convention, the records' 32-bit
 * layout, GetHuxInfo, the address parsers, refused operation codes, the ended
 * state after EndHux, that loading and unloading do nothing of the driver's
 * own, and that a reloaded driver starts afresh.
 *
 * Usage: probe.exe [path of HUXDRVR.dll]. Prints one line per check and the
 * driver's log lines; exit code 0 when every check holds.
 */
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "driver/host/huxdrvr.h"
#include "kelvor.h"

static int failures;
static char logged[64][256];
static int32_t loggedLevel[64];
static int loggedCount;

static void Check(int ok, const char *what) {
    printf("%s %s\n", ok ? "ok  " : "FAIL", what);
    if (!ok) {
        ++failures;
    }
}

static void Sink(int32_t level, const char *line, void *user) {
    (void)user;
    printf("log [%d] %s\n", (int)level, line);
    if (loggedCount < 64) {
        loggedLevel[loggedCount] = level;
        snprintf(logged[loggedCount], sizeof logged[0], "%s", line);
        ++loggedCount;
    }
}

/* Calls the entry point with one pushed argument and reports how far the
 * stack pointer moved over the call: 0 when the callee removed its argument
 * (stdcall), 4 when it left it to the caller (cdecl). */
static int32_t CallMeasured(HuxMainFn fn, DriverRequest *request, uint32_t *moved) {
    int32_t result;
    uint32_t delta;
    __asm__ volatile("movl %%esp, %%esi\n\t"
                     "pushl %%ebx\n\t"
                     "call *%%edi\n\t"
                     "movl %%esi, %%ecx\n\t"
                     "subl %%esp, %%ecx\n\t"
                     "movl %%esi, %%esp\n\t"
                     : "=a"(result), "=c"(delta)
                     : "b"(request), "D"(fn)
                     : "edx", "esi", "memory", "cc");
    *moved = delta;
    return result;
}

static int32_t Call(HuxMainFn fn, void *context, uint32_t op, void *data) {
    DriverRequest request;
    memset(&request, 0, sizeof request);
    request.context = (ComContext *)context;
    request.op = op;
    request.data = data;
    return fn(&request);
}

int main(int argc, char **argv) {
    const char *path = argc > 1 ? argv[1] : "HUXDRVR.dll";
    char what[256];
    kelvor_set_sink(Sink, NULL);

    /* The records as a 32-bit host lays them out (the header also asserts
     * these at compile time; this shows them in the transcript). */
    Check(sizeof(void *) == 4, "32-bit host");
    Check(sizeof(DriverRequest) == 20 && sizeof(GateDef) == 36 && sizeof(GateTransfer) == 44 &&
              sizeof(DriverInfo) == 32 && sizeof(StartParams) == 28 && sizeof(ChangeParams) == 24 &&
              offsetof(ComContext, rxFrame) == 0x42 && offsetof(GateTransfer, values) == 0x28,
          "record sizes and offsets");

    HMODULE module = LoadLibraryA(path);
    snprintf(what, sizeof what, "LoadLibrary %s", path);
    Check(module != NULL, what);
    if (module == NULL) {
        printf("error %lu\n", (unsigned long)GetLastError());
        return 1;
    }
    Check(loggedCount == 0, "loading logs nothing");

    HuxMainFn byName = (HuxMainFn)(void (*)(void))GetProcAddress(module, "HuxMain");
    HuxMainFn byOrdinal = (HuxMainFn)(void (*)(void))GetProcAddress(module, MAKEINTRESOURCEA(1));
    Check(byName != NULL, "HuxMain by name");
    Check(byOrdinal == byName, "HuxMain is ordinal 1");
    Check(GetProcAddress(module, MAKEINTRESOURCEA(2)) == NULL, "no ordinal 2");
    Check(GetProcAddress(module, "HuxMain@4") == NULL && GetProcAddress(module, "_HuxMain@4") == NULL,
          "no decorated name");
    if (byName == NULL) {
        return 1;
    }

    /* GetHuxInfo with a null context, through the measured call. */
    DriverInfo info;
    memset(&info, 0xA5, sizeof info);
    DriverRequest request;
    memset(&request, 0, sizeof request);
    request.op = HUX_OP_GET_INFO;
    request.data = &info;
    uint32_t moved = 99;
    int32_t result = CallMeasured(byName, &request, &moved);
    Check(moved == 0, "HuxMain removes its argument (stdcall)");
    Check(result == 0, "GetHuxInfo returns 0");
    Check(info.infoA == 70 && info.infoB == 589 && info.infoC == 4 && info.infoD == 3,
          "GetHuxInfo constants");
    Check(info.defaults.baud == 9600 && info.defaults.dataBits == 8 && info.defaults.stopBits == 0 &&
              info.defaults.parity == 0,
          "GetHuxInfo defaults 9600 8 0 0");
    Check(info.deviceName != NULL && strcmp(info.deviceName, "Klockner Moeller PS4") == 0, "device name");
    const unsigned char *banner = (const unsigned char *)info.banner;
    Check(banner != NULL && strlen(info.banner) == 223 && banner[0] == 0x08 && banner[1] == 0x0A &&
              banner[2] == 0xC9 && banner[75] == 0x0A && banner[76] == 0xBA && banner[87] == 0x94 &&
              banner[222] == 0xBC,
          "banner: 223 bytes of code page 437");
    Check(loggedCount == 1 && loggedLevel[0] == 8 && strcmp(logged[0], "HUXDR> GetHuxInfo() exited") == 0,
          "GetHuxInfo logs its one line at level 8");

    /* Codes without an operation are refused, silently. */
    static const uint32_t kEmpty[] = {0, 8, 9, 16, 17, 0xFFFFFFFFu};
    int refused = 1;
    loggedCount = 0;
    for (size_t i = 0; i < sizeof kEmpty / sizeof kEmpty[0]; ++i) {
        refused = refused && Call(byName, NULL, kEmpty[i], NULL) == 2;
    }
    Check(refused && loggedCount == 0, "codes 0 8 9 16 17 0xFFFFFFFF answer 2 and log nothing");

    /* The address parsers, through the DLL's import of err. */
    GateDef def;
    memset(&def, 0, sizeof def);
    def.address = "MB00012.3";
    def.gateType = 6;
    result = Call(byName, NULL, HUX_OP_SINGLE_PARSE, &def);
    Check(result == 0 && def.gateAddr.reserved == 0 && def.gateAddr.area == 'B' && def.gateAddr.index == 12 &&
              def.gateAddr.bit == 3 && def.gateAddr.width == 8,
          "SingleAddressParser MB00012.3 type 6");
    memset(&def, 0, sizeof def);
    def.address = "MW00040";
    def.blockSize = 32;
    result = Call(byName, NULL, HUX_OP_BLOCK_PARSE, &def);
    Check(result == 0 && def.gateAddr.area == 'W' && def.gateAddr.index == 20 && def.gateAddr.bit == -1 &&
              def.gateAddr.width == 16,
          "BlockAddressParser MW00040 of 32 words");
    loggedCount = 0;
    def.address = "MW00041";
    result = Call(byName, NULL, HUX_OP_SINGLE_PARSE, &def);
    Check(result == 1 && loggedCount == 1 &&
              strcmp(logged[0], "HUXDR> Parse() word gate sould have even address 'MW00041'") == 0,
          "SingleAddressParser refuses MW00041 with its message");
    loggedCount = 0;
    def.address = "MB00000";
    def.blockSize = 65;
    result = Call(byName, NULL, HUX_OP_BLOCK_PARSE, &def);
    Check(result == 1 && loggedCount == 1 &&
              strcmp(logged[0], "HUXDR> BlockParse() block size should be <= 64 bytes") == 0,
          "BlockAddressParser refuses 65 bytes with its message");

    /* EndHux with no port open, then every request is answered with 0. */
    ComContext context;
    memset(&context, 0, sizeof context);
    loggedCount = 0;
    result = Call(byName, &context, HUX_OP_END, NULL);
    Check(result == 0 && loggedCount == 2 && strcmp(logged[0], "HUXDR> CloseCom() exited 0") == 0 &&
              strcmp(logged[1], "HUXDR> EndHux() exited, 0") == 0,
          "EndHux with no port: 0, its two lines");
    memset(&info, 0x5A, sizeof info);
    loggedCount = 0;
    result = Call(byName, NULL, HUX_OP_GET_INFO, &info);
    Check(result == 0 && info.infoA == 0x5A5A5A5Au && loggedCount == 0,
          "ended: GetHuxInfo answers 0, does nothing");
    Check(Call(byName, NULL, 99, NULL) == 0 && Call(byName, NULL, 0, NULL) == 0,
          "ended: codes 99 and 0 answer 0");

    /* Unloading does nothing of the driver's own either. */
    loggedCount = 0;
    Check(FreeLibrary(module) != 0 && loggedCount == 0, "FreeLibrary, nothing logged");

    /* Loaded again, the driver starts afresh: the ended state went with it. */
    module = LoadLibraryA(path);
    byName = module != NULL ? (HuxMainFn)(void (*)(void))GetProcAddress(module, "HuxMain") : NULL;
    Check(byName != NULL, "LoadLibrary again");
    if (byName != NULL) {
        memset(&info, 0, sizeof info);
        Check(Call(byName, NULL, HUX_OP_GET_INFO, &info) == 0 && info.infoA == 70 &&
                  Call(byName, NULL, 99, NULL) == 2,
              "reloaded: not ended");
        Check(FreeLibrary(module) != 0, "FreeLibrary again");
    }

    printf("%s: %d failed\n", failures == 0 ? "PASS" : "FAIL", failures);
    return failures == 0 ? 0 : 1;
}
