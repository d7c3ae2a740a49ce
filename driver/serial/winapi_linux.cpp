// Windows communications calls over termios (placeholder).
#include "driver/serial/winapi.h"
