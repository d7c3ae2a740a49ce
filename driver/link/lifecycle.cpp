// Connection lifecycle: cold and warm start, close, reopen, change of
// parameters, end of the driver.
#include <cstring>

#include "driver/host/log.h"
#include "driver/host/ops.h"
#include "driver/link/link.h"
#include "driver/serial/serial.h"
#include "driver/sucom/engine.h"

namespace {

// Sets the port's read timeout. A timeout of 0 or below would let a read
// wait without bound; the port then keeps the one it has.
void ApplyTimeout(uint32_t port, int32_t units) {
    if (units > 0) {
        SerialSetReadTimeout(HandleFromPort(port), units);
    }
}

} // namespace

bool IsNullDevice(const char *name) {
    // Compared with their terminators, so no byte past the field is read.
    return std::memcmp(name, "NULLDEV", sizeof "NULLDEV") == 0 || std::memcmp(name, "NUL", sizeof "NUL") == 0;
}

bool NameTerminated(const char *name) {
    return std::memchr(name, '\0', HUX_NAME_SIZE) != nullptr;
}

void CopyName(char *to, const char *from) {
    for (size_t i = 0; i < HUX_NAME_SIZE; ++i) {
        to[i] = from[i];
        if (from[i] == '\0') {
            break;
        }
    }
}

void FormatBuildDate(const char *compilerDate, char *out, size_t size) {
    if (size == 0) {
        return;
    }
    size_t n = 0;
    for (size_t i = 0; compilerDate[i] != '\0' && n + 1 < size; ++i) {
        // "Mmm dd yyyy": a day below 10 is padded with a space at position 4.
        if (i == 4 && compilerDate[i] == ' ') {
            continue;
        }
        out[n++] = compilerDate[i];
    }
    out[n] = '\0';
}

uint32_t OpenCom(const PortParams *params) {
    HANDLE handle = nullptr;
    if (!NameTerminated(params->name) ||
        SerialOpen(params->name, &params->settings, params->flags, &handle) != SERIAL_OK) {
        err(HUX_LOG_ERROR, "HUXDR> OpenCom() exited with error");
        return 0;
    }
    const uint32_t port = PortFromHandle(handle);
    err(HUX_LOG_INFO, "HUXDR> OpenCom() exited OK, file handle %u", static_cast<unsigned>(port));
    return port;
}

int32_t ColdStart(DriverRequest *request) {
    ComContext *context = request->context;
    const auto *start = static_cast<const StartParams *>(request->data);

    char date[16];
    FormatBuildDate(__DATE__, date, sizeof date);
    err(HUX_LOG_INFO, "HUXDR> version compiled on %s at time %s", date, __TIME__);

    // The context is taken as new.
    context->timeout = start->timeout;
    context->port = 0;
    context->markerEnd = 0;

    PortParams params{};
    CopyName(params.name, start->name);
    params.settings = start->settings;
    params.flags = kColdStartFlags;

    if (start->enabled != 0) {
        if (IsNullDevice(start->name)) {
            err(HUX_LOG_INFO, "HUXDR> ColdStart() NULLDEV => no communication");
        } else {
            const uint32_t port = OpenCom(&params);
            if (port == 0) {
                err(HUX_LOG_INFO, "HUXDR> ColdStart() unable to open %.12s port", start->name);
                return HUX_REFUSED;
            }
            err(HUX_LOG_INFO, "HUXDR> ColdStart() port %.12s opened, file handle %u", start->name,
                static_cast<unsigned>(port));
            context->port = port;
            ApplyTimeout(port, start->timeout);
            if (ReadAddressOffset(context) != HUX_OK) {
                err(HUX_LOG_INFO, "HUXDR> ColdStart() reading start addr from PLC failed");
            }
        }
        CopyName(context->portParams.name, start->name);
        context->portParams.settings = start->settings;
    }
    err(HUX_LOG_INFO, "HUXDR> ColdStart() exited, 0");
    return HUX_OK;
}

int32_t WarmStart(DriverRequest *request) {
    ComContext *context = request->context;
    if (context->port != 0) {
        SerialPurge(HandleFromPort(context->port));
    }
    err(HUX_LOG_INFO, "HUXDR> WarmStart() exited, 0");
    return HUX_OK;
}

int32_t CloseCom(DriverRequest *request) {
    ComContext *context = request->context;
    if (context->port != 0) {
        if (SerialClose(HandleFromPort(context->port)) != SERIAL_OK) {
            err(HUX_LOG_INFO, "HUXDR> CloseCom() exited 2");
            return HUX_FAILED;
        }
        context->port = 0;
    }
    err(HUX_LOG_INFO, "HUXDR> CloseCom() exited 0");
    return HUX_OK;
}

int32_t EndHux(DriverRequest *request) {
    ended = 1;
    const int32_t result = CloseCom(request);
    err(HUX_LOG_INFO, "HUXDR> EndHux() exited, %d", result);
    return result;
}

int32_t ReOpenCom(DriverRequest *request) {
    ComContext *context = request->context;
    if (IsNullDevice(context->portParams.name)) {
        err(HUX_LOG_INFO, "HUXDR> ReOpenCom() NULLDEV => no communications");
    } else {
        const uint32_t port = OpenCom(&context->portParams);
        if (port == 0) {
            err(HUX_LOG_ERROR, "HUXDR> ReOpenCom() exited 2");
            return HUX_FAILED;
        }
        context->port = port;
        ApplyTimeout(port, context->timeout);
    }
    err(HUX_LOG_INFO, "HUXDR> ReOpenCom() exited 0");
    return HUX_OK;
}

int32_t ChangeHuxParams(DriverRequest *request) {
    ComContext *context = request->context;
    const auto *change = static_cast<const ChangeParams *>(request->data);

    if (change->timeout != 0 && change->timeout != -1) {
        context->timeout = change->timeout;
    }
    if (context->port != 0 && std::strncmp(change->name, context->portParams.name, HUX_NAME_SIZE) != 0) {
        CloseCom(request);
    }
    CopyName(context->portParams.name, change->name);
    if (change->settings.baud != 0) {
        context->portParams.settings = change->settings;
    }
    if (IsNullDevice(context->portParams.name)) {
        err(HUX_LOG_INFO, "HUXDR> ChangeHuxParams() NULLDEV => no communications");
        return HUX_OK;
    }
    const uint32_t port = OpenCom(&context->portParams);
    if (port == 0) {
        err(HUX_LOG_INFO, "HUXDR> ChangeHuxParams() exited 2");
        return HUX_FAILED;
    }
    context->port = port;
    ApplyTimeout(port, context->timeout);
    return HUX_OK;
}
