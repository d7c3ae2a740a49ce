// Gate address parser: MBnnnnn, MWnnnnn, MBnnnnn.b, MWnnnnn.b.
#ifndef HUX_GATES_PARSE_H
#define HUX_GATES_PARSE_H

#include <cstdint>

#include "driver/host/huxdrvr.h"

// Decodes def->address into def->gateAddr: 0 decoded, 1 refused (logged).
int32_t Parse(GateDef *def);

#endif // HUX_GATES_PARSE_H
