/* The records header is usable from C: this unit compiles it as C11 and
 * reports the sizes it sees, which must match the C++ view. */
#include "driver/host/huxdrvr.h"

size_t hux_c_sizeof_context(void) {
    return sizeof(ComContext);
}
size_t hux_c_sizeof_transfer(void) {
    return sizeof(GateTransfer);
}
size_t hux_c_offsetof_values(void) {
    return offsetof(GateTransfer, values);
}
size_t hux_c_sizeof_request(void) {
    return sizeof(DriverRequest);
}
