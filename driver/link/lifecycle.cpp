// Connection lifecycle (placeholder until the engine lands).
#include "driver/host/ops.h"

int32_t ColdStart(DriverRequest *) {
    return HUX_FAILED;
}
int32_t WarmStart(DriverRequest *) {
    return HUX_FAILED;
}
int32_t EndHux(DriverRequest *) {
    return HUX_FAILED;
}
int32_t CloseCom(DriverRequest *) {
    return HUX_FAILED;
}
int32_t ReOpenCom(DriverRequest *) {
    return HUX_FAILED;
}
int32_t ChangeHuxParams(DriverRequest *) {
    return HUX_FAILED;
}
