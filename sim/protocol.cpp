#include "sim/protocol.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace ps4sim {

uint8_t Lrc(const uint8_t *bytes, size_t n) {
    uint8_t x = 0;
    for (size_t i = 1; i < n; ++i) {
        x ^= bytes[i];
    }
    return x;
}

std::string Hex(const uint8_t *bytes, size_t n) {
    std::string s;
    s.reserve(n * 3);
    char b[4];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, i == 0 ? "%02X" : " %02X", bytes[i]);
        s += b;
    }
    return s;
}

// ---------------------------------------------------------------- parser

std::vector<ParsedItem> FrameParser::Feed(const uint8_t *bytes, size_t n) {
    std::vector<ParsedItem> out;
    for (size_t i = 0; i < n; ++i) {
        buf_.push_back(bytes[i]);
        Scan(i + 1, out);
    }
    return out;
}

Bytes FrameParser::Reset() {
    Bytes dropped;
    dropped.swap(buf_);
    return dropped;
}

void FrameParser::Drop(size_t n, const char *why, size_t endOffset, std::vector<ParsedItem> &out) {
    if (!out.empty() && out.back().type == ParsedItem::Dropped && out.back().why == why) {
        out.back().dropped.insert(out.back().dropped.end(), buf_.begin(), buf_.begin() + n);
        out.back().endOffset = endOffset;
    } else {
        ParsedItem item;
        item.type = ParsedItem::Dropped;
        item.dropped.assign(buf_.begin(), buf_.begin() + n);
        item.why = why;
        item.endOffset = endOffset;
        out.push_back(std::move(item));
    }
    buf_.erase(buf_.begin(), buf_.begin() + n);
}

void FrameParser::Scan(size_t endOffset, std::vector<ParsedItem> &out) {
    while (!buf_.empty()) {
        if (buf_[0] != kHead0) {
            auto next = std::find(buf_.begin() + 1, buf_.end(), kHead0);
            Drop(static_cast<size_t>(next - buf_.begin()), "garbage", endOffset, out);
            continue;
        }
        if (buf_.size() < 2) {
            return;
        }
        if (buf_[1] != kHead1) {
            Drop(1, "garbage", endOffset, out);
            continue;
        }
        if (buf_.size() < 3) {
            return;
        }
        const uint8_t cmd = buf_[2];
        size_t need = 0;
        if (cmd == kCmdRead || cmd == kCmdPermit) {
            need = 8;
        } else if (cmd == kCmdData) {
            if (buf_.size() < 4) {
                return;
            }
            need = static_cast<size_t>(buf_[3]) + 5;
        } else {
            Drop(1, "garbage", endOffset, out);
            continue;
        }
        if (buf_.size() < need) {
            return;
        }
        ParsedItem item;
        item.type = ParsedItem::FrameItem;
        item.endOffset = endOffset;
        Frame &f = item.frame;
        f.raw.assign(buf_.begin(), buf_.begin() + static_cast<long>(need));
        f.lrcOk = Lrc(f.raw.data(), need - 1) == f.raw[need - 1];
        if (cmd == kCmdData) {
            f.kind = FrameKind::WriteData;
            f.data.assign(f.raw.begin() + 4, f.raw.end() - 1);
        } else {
            f.kind = cmd == kCmdRead ? FrameKind::ReadRequest : FrameKind::WriteRequest;
            f.start = static_cast<uint16_t>(f.raw[3] << 8 | f.raw[4]);
            f.end = static_cast<uint16_t>(f.raw[5] << 8 | f.raw[6]);
        }
        size_t consumed = need;
        if (!f.lrcOk) {
            // Resume at the next header inside the rejected bytes.
            for (size_t j = 1; j < need; ++j) {
                if (buf_[j] == kHead0 && (j + 1 >= buf_.size() || buf_[j + 1] == kHead1)) {
                    consumed = j;
                    break;
                }
            }
        }
        buf_.erase(buf_.begin(), buf_.begin() + static_cast<long>(consumed));
        out.push_back(std::move(item));
    }
}

// ---------------------------------------------------------------- faults

const char *FaultName(FaultKind kind) {
    switch (kind) {
    case FaultKind::None:
        return "none";
    case FaultKind::Drop:
        return "drop";
    case FaultKind::Short:
        return "short";
    case FaultKind::Corrupt:
        return "corrupt";
    case FaultKind::Lrc:
        return "lrc";
    case FaultKind::Count:
        return "count";
    case FaultKind::Nack:
        return "nack";
    case FaultKind::Noise:
        return "noise";
    case FaultKind::Delay:
        return "delay";
    }
    return "?";
}

std::string FaultText(const Fault &fault) {
    std::string s = FaultName(fault.kind);
    if (fault.arg >= 0) {
        s += "=" + std::to_string(fault.arg);
    }
    return s;
}

namespace {

bool KindFromName(const std::string &name, FaultKind *kind) {
    static const FaultKind kAll[] = {FaultKind::Drop,  FaultKind::Short, FaultKind::Corrupt,
                                     FaultKind::Lrc,   FaultKind::Count, FaultKind::Nack,
                                     FaultKind::Noise, FaultKind::Delay};
    for (FaultKind k : kAll) {
        if (name == FaultName(k)) {
            *kind = k;
            return true;
        }
    }
    return false;
}

bool ParseNumber(const std::string &text, long long maxValue, long long *value) {
    if (text.empty()) {
        return false;
    }
    errno = 0;
    char *end = nullptr;
    const long long v = std::strtoll(text.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || v < 0 || v > maxValue) {
        return false;
    }
    *value = v;
    return true;
}

} // namespace

bool ParseFault(const std::string &text, FaultRule *rule, std::string *error) {
    FaultRule r;
    std::string rest = text;
    const auto colon = rest.find(':');
    if (colon != std::string::npos) {
        const std::string when = rest.substr(0, colon);
        rest = rest.substr(colon + 1);
        long long n = 0;
        if (when == "any") {
            r.target = FaultTarget::Any;
        } else if (when == "read") {
            r.target = FaultTarget::Read;
        } else if (when == "permit") {
            r.target = FaultTarget::Permit;
        } else if (when == "data") {
            r.target = FaultTarget::Data;
        } else if (ParseNumber(when, 1LL << 40, &n) && n >= 1) {
            r.atFrame = static_cast<uint64_t>(n);
        } else {
            *error =
                "fault '" + text + "': '" + when + "' is neither a frame number nor any/read/permit/data";
            return false;
        }
    }
    const auto star = rest.find('*');
    if (star != std::string::npos) {
        long long times = 0;
        if (!ParseNumber(rest.substr(star + 1), 1000000, &times) || times < 1) {
            *error = "fault '" + text + "': bad repeat count";
            return false;
        }
        r.times = static_cast<int>(times);
        rest = rest.substr(0, star);
    }
    const auto eq = rest.find('=');
    const std::string name = rest.substr(0, eq);
    if (!KindFromName(name, &r.fault.kind)) {
        *error = "fault '" + text + "': unknown kind '" + name +
                 "' (drop, short, corrupt, lrc, count, nack, noise, delay)";
        return false;
    }
    if (eq != std::string::npos) {
        long long arg = 0;
        const long long maxArg = r.fault.kind == FaultKind::Delay ? 600000 : 255;
        if (!ParseNumber(rest.substr(eq + 1), maxArg, &arg)) {
            *error = "fault '" + text + "': bad value";
            return false;
        }
        r.fault.arg = static_cast<int>(arg);
    }
    *rule = r;
    return true;
}

bool ParseFaultKinds(const std::string &text, std::vector<FaultKind> *kinds, std::string *error) {
    kinds->clear();
    size_t pos = 0;
    while (pos <= text.size()) {
        const size_t comma = std::min(text.find(',', pos), text.size());
        const std::string name = text.substr(pos, comma - pos);
        FaultKind k{};
        if (!KindFromName(name, &k)) {
            *error = "unknown fault kind '" + name + "'";
            return false;
        }
        kinds->push_back(k);
        pos = comma + 1;
    }
    return true;
}

// ---------------------------------------------------------------- trace

std::string FormatTrace(const TraceEvent &e, bool withTime) {
    std::string s;
    char b[64];
    if (withTime) {
        std::snprintf(b, sizeof b, "[%10.3f ms] ", e.ms);
        s += b;
    }
    if (e.seq == 0) {
        std::snprintf(b, sizeof b, "#- %s %s", e.toController ? "H>C" : "C>H", e.kind.c_str());
    } else {
        std::snprintf(b, sizeof b, "#%llu %s %s", static_cast<unsigned long long>(e.seq),
                      e.toController ? "H>C" : "C>H", e.kind.c_str());
    }
    s += b;
    if (e.hasRange) {
        std::snprintf(b, sizeof b, " %04X..%04X", e.start, e.end);
        s += b;
    }
    if (!e.data.empty()) {
        s += " [" + Hex(e.data) + "]";
    }
    s += " -> " + e.verdict;
    if (!e.raw.empty()) {
        s += " | " + Hex(e.raw);
    }
    return s;
}

// ---------------------------------------------------------------- controller

Controller::Controller(const Config &config) : config_(config) {
    SetMarkerWords(config.markerStartWord, config.markerEndWord);
    rng_ = config.seed;
}

void Controller::SetMarkerWords(uint16_t startWord, uint16_t endWord) {
    // The host composes both words high byte first.
    mem_[0x40] = static_cast<uint8_t>(startWord >> 8);
    mem_[0x41] = static_cast<uint8_t>(startWord);
    mem_[0x4A] = static_cast<uint8_t>(endWord >> 8);
    mem_[0x4B] = static_cast<uint8_t>(endWord);
}

void Controller::SetRandom(double rate, uint64_t seed, std::vector<FaultKind> kinds) {
    config_.randomRate = rate;
    config_.seed = seed;
    config_.randomKinds = std::move(kinds);
    rng_ = seed;
}

uint64_t Controller::NextRandom() {
    // splitmix64: the same sequence for a seed on every platform.
    uint64_t z = (rng_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

Fault Controller::PickFault(const Frame &frame, uint64_t seq) {
    for (auto it = rules_.begin(); it != rules_.end(); ++it) {
        FaultRule &r = *it;
        bool match = false;
        if (r.atFrame != 0) {
            match = seq >= r.atFrame && seq < r.atFrame + static_cast<uint64_t>(r.times);
        } else {
            switch (r.target) {
            case FaultTarget::Any:
                match = true;
                break;
            case FaultTarget::Read:
                match = frame.kind == FrameKind::ReadRequest;
                break;
            case FaultTarget::Permit:
                match = frame.kind == FrameKind::WriteRequest;
                break;
            case FaultTarget::Data:
                match = frame.kind == FrameKind::WriteData;
                break;
            }
        }
        if (match) {
            const Fault f = r.fault;
            if (r.atFrame != 0) {
                if (seq + 1 >= r.atFrame + static_cast<uint64_t>(r.times)) {
                    rules_.erase(it);
                }
            } else if (--r.times <= 0) {
                rules_.erase(it);
            }
            return f;
        }
    }
    if (config_.randomRate > 0) {
        const double r = static_cast<double>(NextRandom() >> 11) * (1.0 / 9007199254740992.0);
        const uint64_t pick = NextRandom();
        if (r < config_.randomRate) {
            static const FaultKind kDefault[] = {FaultKind::Drop, FaultKind::Short, FaultKind::Corrupt,
                                                 FaultKind::Lrc,  FaultKind::Count, FaultKind::Nack,
                                                 FaultKind::Noise};
            Fault f;
            if (config_.randomKinds.empty()) {
                f.kind = kDefault[pick % (sizeof kDefault / sizeof kDefault[0])];
            } else {
                f.kind = config_.randomKinds[pick % config_.randomKinds.size()];
            }
            return f;
        }
    }
    return Fault{};
}

void Controller::ApplyFault(const Fault &f, bool isReply, Answer &a) {
    Bytes &b = a.bytes;
    switch (f.kind) {
    case FaultKind::None:
    case FaultKind::Nack:
        return;
    case FaultKind::Drop:
        b.clear();
        return;
    case FaultKind::Short: {
        const size_t keep = f.arg >= 0 ? static_cast<size_t>(f.arg) : (b.empty() ? 0 : b.size() - 1);
        if (keep < b.size()) {
            b.resize(keep);
        }
        return;
    }
    case FaultKind::Corrupt: {
        if (b.empty()) {
            return;
        }
        size_t i = f.arg >= 0 ? static_cast<size_t>(f.arg) : (isReply ? 4 : 0);
        i = std::min(i, b.size() - 1);
        b[i] ^= 0xFF;
        return;
    }
    case FaultKind::Lrc:
        if (!b.empty()) {
            b.back() ^= 0xFF;
        }
        return;
    case FaultKind::Count:
        if (isReply && b.size() >= 5) {
            b[3] = f.arg >= 0 ? static_cast<uint8_t>(f.arg) : static_cast<uint8_t>(b[3] + 1);
            b.back() = Lrc(b.data(), b.size() - 1);
        }
        return;
    case FaultKind::Noise: {
        static const uint8_t kNoise[] = {0xFF, 0x55, 0xAA, 0x00, 0x3C, 0xC3};
        const size_t n = f.arg >= 0 ? static_cast<size_t>(f.arg) : 3;
        Bytes noise;
        for (size_t i = 0; i < n; ++i) {
            noise.push_back(kNoise[i % sizeof kNoise]);
        }
        b.insert(b.begin(), noise.begin(), noise.end());
        return;
    }
    case FaultKind::Delay:
        a.delayMs = f.arg >= 0 ? f.arg : 200;
        return;
    }
}

TraceEvent Controller::DroppedEvent(const Bytes &bytes, const std::string &why) const {
    TraceEvent e;
    e.toController = true;
    e.kind = why == "timeout" ? "partial" : "garbage";
    e.verdict = why == "timeout" ? "dropped after silence" : "dropped";
    e.raw = bytes;
    return e;
}

Answer Controller::Handle(const Frame &frame, uint64_t seq) {
    Answer a;
    TraceEvent &rx = a.rx;
    TraceEvent &tx = a.tx;
    rx.seq = tx.seq = seq;
    rx.toController = true;
    tx.toController = false;
    rx.raw = frame.raw;
    switch (frame.kind) {
    case FrameKind::ReadRequest:
        rx.kind = "read";
        break;
    case FrameKind::WriteRequest:
        rx.kind = "write";
        break;
    case FrameKind::WriteData:
        rx.kind = "data";
        rx.data = frame.data;
        break;
    }
    if (frame.kind != FrameKind::WriteData) {
        rx.hasRange = true;
        rx.start = frame.start;
        rx.end = frame.end;
    } else if (pending_) {
        rx.hasRange = true;
        rx.start = pendingStart_;
        rx.end = pendingEnd_;
    }

    const Bytes nack{config_.nackCode};
    auto finishTx = [&](const Fault &f, bool isReply) {
        ApplyFault(f, isReply, a);
        if (f.kind != FaultKind::None) {
            ++faultsApplied_;
        }
        tx.raw = a.bytes;
        tx.verdict = f.kind == FaultKind::None ? "ok" : "fault " + FaultText(f);
        if (a.bytes.empty()) {
            tx.verdict += ", nothing sent";
        }
    };

    if (!frame.lrcOk) {
        if (frame.kind == FrameKind::WriteData && pending_) {
            pending_ = false;
            rx.verdict = "bad LRC, refused";
            a.bytes = nack;
            tx.kind = "nack";
            finishTx(Fault{}, false);
        } else {
            rx.verdict = "bad LRC, dropped";
            tx.kind = "none";
            tx.verdict = "no answer";
        }
        return a;
    }

    const Fault f = PickFault(frame, seq);
    const bool faultNack = f.kind == FaultKind::Nack;
    const Bytes faultCode{f.arg >= 0 ? static_cast<uint8_t>(f.arg) : config_.nackCode};
    const int length = static_cast<int>(frame.end) - static_cast<int>(frame.start) + 1;
    bool isReply = false;

    switch (frame.kind) {
    case FrameKind::ReadRequest:
        pending_ = false;
        if (length < 1 || length > kMaxRange) {
            rx.verdict = "bad range, refused";
            a.bytes = nack;
        } else if (faultNack) {
            rx.verdict = "refused";
            a.bytes = faultCode;
        } else {
            rx.verdict = "ok";
            Bytes &r = a.bytes;
            r.assign(config_.replyHeader.begin(), config_.replyHeader.end());
            r.push_back(static_cast<uint8_t>(length));
            r.insert(r.end(), mem_.begin() + frame.start, mem_.begin() + frame.start + length);
            r.push_back(Lrc(r.data(), r.size()));
            tx.hasRange = true;
            tx.start = frame.start;
            tx.end = frame.end;
            tx.data.assign(r.begin() + 4, r.end() - 1);
            isReply = true;
        }
        break;
    case FrameKind::WriteRequest: {
        pending_ = false;
        bool isProtected = false;
        for (const Range &p : config_.protect) {
            if (frame.start <= p.last && frame.end >= p.first) {
                isProtected = true;
            }
        }
        if (length < 1 || length > kMaxRange) {
            rx.verdict = "bad range, refused";
            a.bytes = nack;
        } else if (isProtected) {
            rx.verdict = "write-protected, refused";
            a.bytes = nack;
        } else if (faultNack) {
            rx.verdict = "refused";
            a.bytes = faultCode;
        } else {
            rx.verdict = "permitted";
            pending_ = true;
            pendingStart_ = frame.start;
            pendingEnd_ = frame.end;
            a.bytes = Bytes{kAck};
        }
        break;
    }
    case FrameKind::WriteData:
        if (!pending_) {
            rx.verdict = "no write pending, refused";
            a.bytes = nack;
        } else if (frame.data.size() != static_cast<size_t>(pendingEnd_ - pendingStart_ + 1)) {
            pending_ = false;
            rx.verdict = "byte count does not match the range, refused";
            a.bytes = nack;
        } else if (faultNack) {
            pending_ = false;
            rx.verdict = "refused";
            a.bytes = faultCode;
        } else {
            pending_ = false;
            std::copy(frame.data.begin(), frame.data.end(), mem_.begin() + pendingStart_);
            rx.verdict = "written";
            a.bytes = Bytes{kAck};
        }
        break;
    }
    if (!isReply) {
        tx.kind = a.bytes.size() == 1 && a.bytes[0] == kAck ? "ack" : "nack";
    } else {
        tx.kind = "reply";
    }
    finishTx(f, isReply);
    return a;
}

} // namespace ps4sim
