#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "hostapp/huxhost/app.h"

namespace hh {

bool LoadDriver(Host &host) {
    std::string path = host.opt.driver.empty() ? DefaultDriverPath() : host.opt.driver;
    std::string error;
    if (!host.session.Load(path, &error)) {
        std::fprintf(stderr, "huxhost: %s\n", error.c_str());
        if (host.opt.driver.empty()) {
            std::fprintf(stderr, "huxhost: build the driver first, or say where it is with --driver PATH\n");
        }
        return false;
    }
    return true;
}

bool PreparePort(Host &host) {
    if (!host.opt.port.empty()) {
        host.port = host.opt.port;
        return true;
    }
    if (!Lab::Available()) {
        std::fprintf(stderr, "huxhost: give the serial port with --port (e.g. --port COM1)\n");
        return false;
    }
    std::string error;
    if (!host.lab.Start(0, host.opt.sim, &host.port, &error)) {
        std::fprintf(stderr, "huxhost: %s\n", error.c_str());
        return false;
    }
    return true;
}

bool ParseInt(const std::string &text, long long minValue, long long maxValue, long long *out) {
    if (text.empty()) {
        return false;
    }
    const bool negative = text[0] == '-';
    const std::string digits = negative ? text.substr(1) : text;
    if (digits.empty() || digits[0] == '-' || digits[0] == '+') {
        return false;
    }
    errno = 0;
    char *end = nullptr;
    const int base =
        digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X') ? 16 : 10;
    const unsigned long long v = std::strtoull(digits.c_str(), &end, base);
    if (errno != 0 || *end != '\0' || v > (1ull << 40)) {
        return false;
    }
    const long long s = negative ? -static_cast<long long>(v) : static_cast<long long>(v);
    if (s < minValue || s > maxValue) {
        return false;
    }
    *out = s;
    return true;
}

std::vector<std::string> SplitWords(const std::string &line) {
    std::vector<std::string> words;
    std::string word;
    for (char c : line) {
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
            if (!word.empty()) {
                words.push_back(word);
                word.clear();
            }
        } else {
            word += c;
        }
    }
    if (!word.empty()) {
        words.push_back(word);
    }
    return words;
}

std::string FormatValue(const Gate &gate, uint16_t value, int32_t valueKind) {
    char b[48];
    if (gate.IsBit()) {
        std::snprintf(b, sizeof b, "%u (0x%X)", value, value);
    } else if (gate.IsWord()) {
        std::snprintf(b, sizeof b, "%u (0x%04X)", value, value);
    } else if (valueKind == 1) {
        std::snprintf(b, sizeof b, "%d (0x%02X)", static_cast<int16_t>(value), value & 0xFF);
    } else {
        std::snprintf(b, sizeof b, "%u (0x%02X)", value, value & 0xFF);
    }
    return b;
}

bool ParseValue(const Gate &gate, const std::string &text, uint16_t *value, std::string *error) {
    long long v = 0;
    if (gate.IsBit()) {
        if (!ParseInt(text, 0, 1, &v)) {
            *error = "a bit takes 0 or 1, not '" + text + "'";
            return false;
        }
    } else if (gate.IsWord()) {
        if (!ParseInt(text, -32768, 65535, &v)) {
            *error = "a word takes -32768 to 65535 (or 0x0000 to 0xFFFF), not '" + text + "'";
            return false;
        }
    } else if (!ParseInt(text, -128, 255, &v)) {
        *error = "a byte takes -128 to 255 (or 0x00 to 0xFF), not '" + text + "'";
        return false;
    }
    *value = static_cast<uint16_t>(v);
    return true;
}

bool ParseBlockValues(const Gate &gate, const std::vector<std::string> &texts, std::vector<uint8_t> *bytes,
                      std::string *error) {
    bytes->clear();
    Gate element = gate;
    element.addr.bit = -1;
    for (const std::string &t : texts) {
        uint16_t v = 0;
        if (!ParseValue(element, t, &v, error)) {
            return false;
        }
        bytes->push_back(static_cast<uint8_t>(v));
        if (gate.IsWord()) {
            bytes->push_back(static_cast<uint8_t>(v >> 8));
        }
    }
    return true;
}

std::string ElementName(const Gate &gate, int i) {
    const long offset =
        gate.IsWord() ? 2L * gate.addr.index + 2L * i : static_cast<long>(gate.addr.index) + i;
    char b[24];
    std::snprintf(b, sizeof b, "M%c%05ld", gate.IsWord() ? 'W' : 'B', offset);
    return b;
}

std::string Describe(const Gate &gate) {
    char b[96];
    const int offset = gate.IsWord() ? gate.addr.index * 2 : gate.addr.index;
    if (gate.IsBit()) {
        std::snprintf(b, sizeof b, "bit %d of the marker %s at byte offset %d", gate.addr.bit,
                      gate.IsWord() ? "word" : "byte", offset);
    } else {
        std::snprintf(b, sizeof b, "the marker %s at byte offset %d", gate.IsWord() ? "word" : "byte",
                      offset);
    }
    return b;
}

std::string HexBytes(const std::vector<uint8_t> &bytes) {
    std::string s;
    char h[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(h, sizeof h, i == 0 ? "%02X" : " %02X", bytes[i]);
        s += h;
    }
    return s;
}

std::string JsonString(const std::string &text) {
    std::string s = "\"";
    for (unsigned char c : text) {
        switch (c) {
        case '"':
            s += "\\\"";
            break;
        case '\\':
            s += "\\\\";
            break;
        case '\n':
            s += "\\n";
            break;
        case '\t':
            s += "\\t";
            break;
        default:
            if (c < 0x20) {
                char u[8];
                std::snprintf(u, sizeof u, "\\u%04x", c);
                s += u;
            } else {
                s += static_cast<char>(c);
            }
        }
    }
    return s + "\"";
}

std::string Cp437ToUtf8(const char *text) {
    // Code page 437, 0x80 to 0xFF.
    static const char *const kHigh =
        "ÇüéâäàåçêëèïîìÄÅÉæÆôöòûùÿÖÜ¢£¥₧ƒáíóúñÑªº¿⌐¬½¼¡«»░▒▓│┤╡╢╖╕╣║╗╝╜╛┐"
        "└┴┬├─┼╞╟╚╔╩╦╠═╬╧╨╤╥╙╘╒╓╫╪┘┌█▄▌▐▀αßΓπΣσµτΦΘΩδ∞φε∩≡±≥≤⌠⌡÷≈°∙·√ⁿ²■\xC2\xA0";
    // Index the table's characters once.
    static std::vector<std::string> table;
    if (table.empty()) {
        for (const char *p = kHigh; *p != '\0';) {
            const unsigned char lead = static_cast<unsigned char>(*p);
            const int len = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
            table.emplace_back(p, static_cast<size_t>(len));
            p += len;
        }
    }
    std::string out;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p != 0; ++p) {
        if (*p >= 0x80) {
            out += table.size() == 128 ? table[*p - 0x80] : "?";
        } else if (*p >= 0x20 || *p == '\n') {
            out += static_cast<char>(*p);
        }
    }
    return out;
}

} // namespace hh
