// An in-memory controller behind the Windows communications calls, for
// measuring what the driver itself costs per transaction. Unlike the unit
// tests' fake device it records nothing and allocates nothing, so that every
// instruction and allocation counted around a transaction is the driver's
// or this small device's.
#ifndef HUX_BENCH_MEM_DEVICE_H
#define HUX_BENCH_MEM_DEVICE_H

#include <cstdint>

namespace bench {

// The device name CreateFileA opens.
constexpr const char *kMemDeviceName = "MEMPLC";

// Frames the device has answered since the start.
uint64_t MemDeviceFrames();
// Bytes written to the device and read from it since the start.
uint64_t MemDeviceBytes();

} // namespace bench

#endif // HUX_BENCH_MEM_DEVICE_H
