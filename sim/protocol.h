// The controller side of the line, without any I/O: frame parsing with
// resynchronisation, the controller's memory and its answers, fault rules
// and the trace records. The serving loop (simulator.cpp) drives it.
#ifndef PS4SIM_PROTOCOL_H
#define PS4SIM_PROTOCOL_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace ps4sim {

using Bytes = std::vector<uint8_t>;

// Bytes of the protocol.
constexpr uint8_t kHead0 = 0x0C;
constexpr uint8_t kHead1 = 0x07;
constexpr uint8_t kCmdRead = 0x82;   // read the range
constexpr uint8_t kCmdPermit = 0x83; // may the range be written?
constexpr uint8_t kCmdData = 0x14;   // data of a write (and, from the controller, of a read reply)
constexpr uint8_t kAck = 0x06;

// Longest range one frame can carry: the byte count is one byte.
constexpr int kMaxRange = 255;

// XOR of bytes[1] .. bytes[n-1]; byte 0 never takes part.
uint8_t Lrc(const uint8_t *bytes, size_t n);
inline uint8_t Lrc(const Bytes &bytes) {
    return Lrc(bytes.data(), bytes.size());
}

// A frame the host sent, as the parser found it.
enum class FrameKind { ReadRequest, WriteRequest, WriteData };

struct Frame {
    FrameKind kind = FrameKind::ReadRequest;
    uint16_t start = 0; // requests: the range
    uint16_t end = 0;
    Bytes data; // write data: the data bytes
    Bytes raw;  // every byte of the frame, LRC included
    bool lrcOk = true;
};

// What the parser hands on: a frame, or bytes it threw away.
struct ParsedItem {
    enum Type { FrameItem, Dropped } type = FrameItem;
    Frame frame;          // FrameItem
    Bytes dropped;        // Dropped
    std::string why;      // Dropped: "garbage", "bad header", "unknown command", "timeout"
    size_t endOffset = 0; // offset in the fed chunk just past the item's last byte
};

// Finds frames in a byte stream: scans for 0C 07, checks the command and the
// length, and drops whatever does not fit. A frame whose LRC is wrong is
// still handed on (lrcOk false) so that the controller can judge it; the
// scan then resumes inside it, at the next 0C 07 after its first byte.
class FrameParser {
  public:
    // Appends a chunk; returns the items completed by it, in order.
    std::vector<ParsedItem> Feed(const uint8_t *bytes, size_t n);
    // Drops a partial frame (the line fell silent in the middle of it).
    // Returns the dropped bytes (empty when nothing was pending).
    Bytes Reset();
    bool Partial() const { return !buf_.empty(); }

  private:
    void Scan(size_t endOffset, std::vector<ParsedItem> &out);
    void Drop(size_t n, const char *why, size_t endOffset, std::vector<ParsedItem> &out);
    Bytes buf_;
};

// What goes wrong with one answer.
enum class FaultKind { None, Drop, Short, Corrupt, Lrc, Count, Nack, Noise, Delay };
// Which frames a queued rule waits for.
enum class FaultTarget { Any, Read, Permit, Data };

struct Fault {
    FaultKind kind = FaultKind::None;
    int arg = -1; // -1: the kind's default
};

// A rule: apply `fault` to the answers of the next `times` frames that match
// `target`, or, when `atFrame` is not 0, to frames atFrame .. atFrame+times-1
// (frames are numbered from 1 in the order they arrive).
struct FaultRule {
    FaultTarget target = FaultTarget::Any;
    uint64_t atFrame = 0;
    Fault fault;
    int times = 1;
};

// "drop", "read:nack=0x15", "permit:drop*6", "5:corrupt=4", "any:delay=300".
bool ParseFault(const std::string &text, FaultRule *rule, std::string *error);
const char *FaultName(FaultKind kind);
std::string FaultText(const Fault &fault);
// "drop,short,corrupt,lrc,count,nack,noise" (delay only when asked for).
bool ParseFaultKinds(const std::string &text, std::vector<FaultKind> *kinds, std::string *error);

// A range the controller refuses to have written: [first, last].
struct Range {
    uint16_t first = 0;
    uint16_t last = 0;
};

struct Config {
    // Words at 0x0040 (start of the marker area) and 0x004A (its end bound;
    // the host takes end bound - 2 as the last address it may touch).
    // 0x2001 gives the marker area 0x1000..0x1FFF, 4 KiB.
    uint16_t markerStartWord = 0x1000;
    uint16_t markerEndWord = 0x2001;
    // First three bytes of a read reply: 0C 07 14, so that a reply has the
    // layout of a write data frame.
    std::array<uint8_t, 3> replyHeader{kHead0, kHead1, kCmdData};
    // The refusal code for protected ranges and malformed requests.
    uint8_t nackCode = 0x15;
    std::vector<Range> protect;
    // Random faults: each answer gets one with this probability.
    double randomRate = 0.0;
    uint64_t seed = 1;
    std::vector<FaultKind> randomKinds; // empty: the default set
    // A partial frame is dropped after this long without a byte.
    int frameTimeoutMs = 100;
    // Line pacing at `baud` with 10 bits a byte.
    bool pace = false;
    uint32_t baud = 9600;
};

// One line of the trace: a frame that arrived or an answer that left.
struct TraceEvent {
    uint64_t seq = 0; // number of the frame (answers: the frame answered)
    bool toController = true;
    std::string kind; // read, write, data, reply, ack, nack, garbage, none
    bool hasRange = false;
    uint16_t start = 0, end = 0;
    Bytes data;
    std::string verdict;
    Bytes raw;     // the bytes on the line
    double ms = 0; // time since the simulator started
};

std::string FormatTrace(const TraceEvent &event, bool withTime);
std::string Hex(const uint8_t *bytes, size_t n);
inline std::string Hex(const Bytes &bytes) {
    return Hex(bytes.data(), bytes.size());
}

// The answer to one frame, after any fault.
struct Answer {
    Bytes bytes;     // what goes on the line (may be empty)
    int delayMs = 0; // wait this long before sending
    TraceEvent rx;   // the frame as it arrived
    TraceEvent tx;   // the answer as it leaves
};

// Controller state: 64 KiB of memory, the pending write, the fault rules.
class Controller {
  public:
    explicit Controller(const Config &config);

    // Answers one frame (numbered `seq`).
    Answer Handle(const Frame &frame, uint64_t seq);
    // A trace record for bytes the parser dropped.
    TraceEvent DroppedEvent(const Bytes &bytes, const std::string &why) const;

    std::array<uint8_t, 65536> &Memory() { return mem_; }
    const std::array<uint8_t, 65536> &Memory() const { return mem_; }
    void SetMarkerWords(uint16_t startWord, uint16_t endWord);

    void AddRule(const FaultRule &rule) { rules_.push_back(rule); }
    void ClearRules() { rules_.clear(); }
    size_t PendingRules() const { return rules_.size(); }
    void SetRandom(double rate, uint64_t seed, std::vector<FaultKind> kinds);
    void SetProtect(std::vector<Range> ranges) { config_.protect = std::move(ranges); }
    bool WritePending() const { return pending_; }
    uint64_t FaultsApplied() const { return faultsApplied_; }

  private:
    Fault PickFault(const Frame &frame, uint64_t seq);
    void ApplyFault(const Fault &fault, bool isReply, Answer &answer);
    uint64_t NextRandom();

    Config config_;
    std::array<uint8_t, 65536> mem_{};
    bool pending_ = false;
    uint16_t pendingStart_ = 0, pendingEnd_ = 0;
    std::deque<FaultRule> rules_;
    uint64_t rng_ = 0;
    uint64_t faultsApplied_ = 0;
};

} // namespace ps4sim

#endif // PS4SIM_PROTOCOL_H
