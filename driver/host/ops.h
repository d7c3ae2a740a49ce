// The handlers of the operation table and the driver-wide ended flag.
#ifndef HUX_HOST_OPS_H
#define HUX_HOST_OPS_H

#include <cstdint>

#include "driver/host/huxdrvr.h"

// 1 once EndHux has run; every request is then answered with 0.
extern int32_t ended;

using Handler = int32_t (*)(DriverRequest *request);

int32_t ColdStart(DriverRequest *request);           // 1
int32_t WarmStart(DriverRequest *request);           // 2
int32_t SingleAddressParser(DriverRequest *request); // 3
int32_t BlockAddressParser(DriverRequest *request);  // 4
int32_t SingleRead(DriverRequest *request);          // 5
int32_t BlockRead(DriverRequest *request);           // 6
int32_t SingleWrite(DriverRequest *request);         // 7
int32_t BlockWrite(DriverRequest *request);          // 10
int32_t EndHux(DriverRequest *request);              // 11
int32_t CloseCom(DriverRequest *request);            // 12
int32_t ReOpenCom(DriverRequest *request);           // 13
int32_t GetHuxInfo(DriverRequest *request);          // 14
int32_t ChangeHuxParams(DriverRequest *request);     // 15

// The device name and the banner handed out by GetHuxInfo.
extern const char kDeviceName[];
extern const char kBanner[];

#endif // HUX_HOST_OPS_H
