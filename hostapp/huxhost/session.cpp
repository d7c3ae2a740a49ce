#include "hostapp/huxhost/session.h"

#include <cstring>

#include "kelvor.h"

namespace hh {

const char *ResultName(int32_t result) {
    switch (result) {
    case HUX_OK:
        return "ok";
    case HUX_REFUSED:
        return "refused";
    case HUX_FAILED:
        return "failed";
    default:
        return "unknown result";
    }
}

Session::Session() {
    kelvor_set_sink(&Session::Sink, this);
    kelvor_set_min_level(0);
}

Session::~Session() {
    kelvor_set_sink(nullptr, nullptr);
}

void Session::Sink(int32_t level, const char *line, void *user) {
    Session *self = static_cast<Session *>(user);
    LogLine l{level, line};
    if (self->live_) {
        self->live_(l);
    }
    self->log_.push_back(std::move(l));
}

bool Session::Load(const std::string &path, std::string *error) {
    return LoadDriver(path, &library_, error);
}

std::vector<LogLine> Session::TakeLog() {
    std::vector<LogLine> out;
    out.swap(log_);
    return out;
}

int32_t Session::Call(uint32_t op, void *data) {
    request_ = DriverRequest{};
    request_.context = &store_.context;
    request_.op = op;
    request_.data = data;
    return library_.entry(&request_);
}

int32_t Session::GetInfo(DriverInfo *info) {
    return Call(HUX_OP_GET_INFO, info);
}

namespace {
void CopyName(char (&field)[HUX_NAME_SIZE], const std::string &name) {
    std::memset(field, 0, sizeof field);
    std::strncpy(field, name.c_str(), sizeof field - 1);
}
} // namespace

int32_t Session::ColdStart(const std::string &name, int32_t timeout, const LineSettings &settings,
                           bool enabled) {
    StartParams p{};
    CopyName(p.name, name);
    p.enabled = enabled ? 1 : 0;
    p.timeout = timeout;
    p.settings = settings;
    return Call(HUX_OP_COLD_START, &p);
}

int32_t Session::WarmStart() {
    return Call(HUX_OP_WARM_START, nullptr);
}

int32_t Session::CloseCom() {
    return Call(HUX_OP_CLOSE_COM, nullptr);
}

int32_t Session::ReOpenCom() {
    return Call(HUX_OP_REOPEN_COM, nullptr);
}

int32_t Session::EndHux() {
    return Call(HUX_OP_END, nullptr);
}

int32_t Session::ChangeParams(const std::string &name, int32_t timeout, const LineSettings &settings) {
    ::ChangeParams p{};
    CopyName(p.name, name);
    p.timeout = timeout;
    p.settings = settings;
    return Call(HUX_OP_CHANGE_PARAMS, &p);
}

int32_t Session::ParseSingle(Gate &gate, int32_t gateType) {
    GateDef def{};
    def.address = gate.text.c_str();
    def.gateType = gateType == -1 ? gate.GateType() : gateType;
    def.gateAddr = gate.addr;
    const int32_t r = Call(HUX_OP_SINGLE_PARSE, &def);
    gate.addr = def.gateAddr;
    return r;
}

int32_t Session::ParseBlock(Gate &gate, int32_t blockSize) {
    GateDef def{};
    def.address = gate.text.c_str();
    def.blockSize = blockSize;
    def.gateAddr = gate.addr;
    const int32_t r = Call(HUX_OP_BLOCK_PARSE, &def);
    gate.addr = def.gateAddr;
    return r;
}

int32_t Session::SingleRead(const Gate &gate, int32_t valueKind, uint16_t *value) {
    uint8_t buffer[4] = {};
    GateTransfer t{};
    t.address = gate.text.c_str();
    t.gateAddr = gate.addr;
    t.valueKind = valueKind;
    t.count = 1;
    t.values = buffer;
    const int32_t r = Call(HUX_OP_SINGLE_READ, &t);
    // The single-value word: offset 2, little-endian.
    *value = static_cast<uint16_t>(buffer[2] | buffer[3] << 8);
    return r;
}

int32_t Session::SingleWrite(const Gate &gate, uint16_t value) {
    uint8_t buffer[4] = {0, 0, static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8)};
    GateTransfer t{};
    t.address = gate.text.c_str();
    t.gateAddr = gate.addr;
    t.count = 1;
    t.values = buffer;
    return Call(HUX_OP_SINGLE_WRITE, &t);
}

int32_t Session::BlockRead(const Gate &gate, int32_t count, std::vector<uint8_t> *bytes) {
    const size_t n = static_cast<size_t>(count) * (gate.IsWord() ? 2 : 1);
    std::vector<uint8_t> buffer(n < HUX_MAX_BLOCK_BYTES ? HUX_MAX_BLOCK_BYTES : n);
    GateTransfer t{};
    t.address = gate.text.c_str();
    t.gateAddr = gate.addr;
    t.count = count;
    t.values = buffer.data();
    const int32_t r = Call(HUX_OP_BLOCK_READ, &t);
    buffer.resize(n);
    *bytes = std::move(buffer);
    return r;
}

int32_t Session::BlockWrite(const Gate &gate, int32_t count, const std::vector<uint8_t> &bytes) {
    std::vector<uint8_t> buffer(bytes);
    buffer.resize(HUX_MAX_BLOCK_BYTES > bytes.size() ? HUX_MAX_BLOCK_BYTES : bytes.size());
    GateTransfer t{};
    t.address = gate.text.c_str();
    t.gateAddr = gate.addr;
    t.count = count;
    t.values = buffer.data();
    return Call(HUX_OP_BLOCK_WRITE, &t);
}

} // namespace hh
