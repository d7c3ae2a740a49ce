// GetHuxInfo: the driver's self-description.
#include "driver/host/log.h"
#include "driver/host/ops.h"

const char kDeviceName[] = "Klockner Moeller PS4";

// One line of text in a frame of code page 437 double-line box characters:
// backspace and line feed, then three rows of 73 characters.
#define HUX_ROW_71(c)                                                                                        \
    c c c c c c c c c c c c c c c c c c c c c c c c c c c c c c c c c c c c c c c c c c c c c c c c c c c c  \
        c c c c c c c c c c c c c c c c c c c
const char kBanner[] =
    "\x08\x0A"
    "\xC9" HUX_ROW_71("\xCD") "\xBB\x0A"
                              "\xBA"
                              " HUXDR: Kl\x94"
                              "ckner MOELLER, SUCOM-B    (PS4-201-MM1)     (32-bit driver) "
                              "\xBA\x0A"
                              "\xC8" HUX_ROW_71("\xCD") "\xBC";
#undef HUX_ROW_71

static_assert(sizeof(kBanner) == 224, "the banner is 223 bytes and a NUL");

int32_t GetHuxInfo(DriverRequest *request) {
    auto *info = static_cast<DriverInfo *>(request->data);
    info->infoA = 70;
    info->deviceName = kDeviceName;
    info->banner = kBanner;
    info->infoB = 589;
    info->infoC = 4;
    info->defaults.baud = 9600;
    info->defaults.dataBits = 8;
    info->defaults.stopBits = 0;
    info->defaults.parity = 0;
    info->infoD = 3;
    err(HUX_LOG_INFO, "HUXDR> GetHuxInfo() exited");
    return HUX_OK;
}
