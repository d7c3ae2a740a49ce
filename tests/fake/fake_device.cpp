// In-memory fake device (placeholder).
#include "tests/fake/fake_device.h"
