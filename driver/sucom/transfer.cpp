// Reading and writing (placeholder until the engine lands).
#include "driver/host/ops.h"

int32_t SingleRead(DriverRequest *) {
    return HUX_FAILED;
}
int32_t BlockRead(DriverRequest *) {
    return HUX_FAILED;
}
int32_t SingleWrite(DriverRequest *) {
    return HUX_FAILED;
}
int32_t BlockWrite(DriverRequest *) {
    return HUX_FAILED;
}
