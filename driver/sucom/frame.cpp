// SUCOM-B frame layer.
#include "driver/sucom/frame.h"

#include "driver/host/log.h"
#include "driver/serial/serial.h"

uint8_t Lrc(const uint8_t *frame, int32_t length) {
    uint8_t lrc = 0;
    for (int32_t i = 1; i < length; ++i) {
        lrc ^= frame[i];
    }
    return lrc;
}

int32_t Send(uint8_t *frame, int32_t length, uint32_t port) {
    // The frame areas hold at most 69 bytes: nothing longer is ever written.
    if (length < 1 || length + 1 > HUX_MAX_FRAME) {
        return HUX_FAILED;
    }
    frame[length] = Lrc(frame, length);
    int32_t written = 0;
    const int32_t result = SerialWrite(HandleFromPort(port), frame, length + 1, &written);
    if (result != SERIAL_OK || written != length + 1) {
        return HUX_FAILED;
    }
    return HUX_OK;
}

int32_t Receive(uint8_t *buffer, int32_t *expected, uint32_t port) {
    const int32_t want = *expected;
    // Nor is anything longer than 69 bytes ever read into them.
    if (want < 0 || want + 1 > HUX_MAX_FRAME) {
        *expected = 0;
        return HUX_FAILED;
    }
    int32_t received = 0;
    const int32_t result = SerialRead(HandleFromPort(port), buffer, want + 1, &received);
    if (result != SERIAL_OK || received != want + 1) {
        *expected = received;
        return HUX_FAILED;
    }
    if (want == 0) {
        return HUX_OK; // an acknowledgement byte
    }
    if (Lrc(buffer, want) != buffer[want]) {
        err(HUX_LOG_INFO, "HUXDR> Receive() LRC error");
        return HUX_REFUSED;
    }
    return HUX_OK;
}

void BuildRangeRequest(uint8_t *frame, uint8_t command, uint16_t first, uint16_t last) {
    frame[0] = kFrameHead0;
    frame[1] = kFrameHead1;
    frame[2] = command;
    frame[3] = static_cast<uint8_t>(first >> 8);
    frame[4] = static_cast<uint8_t>(first & 0xFF);
    frame[5] = static_cast<uint8_t>(last >> 8);
    frame[6] = static_cast<uint8_t>(last & 0xFF);
}
