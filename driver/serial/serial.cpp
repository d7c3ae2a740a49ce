// Serial port module (placeholder).
#include "driver/serial/serial.h"
