#include "host/shell/Base64.h"

#include <array>
#include <cstdint>

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::array<int8_t, 256> makeReverse() {
    std::array<int8_t, 256> table{};
    for (auto& v : table)
        v = -1;
    for (int i = 0; i < 64; ++i)
        table[static_cast<unsigned char>(kAlphabet[i])] = static_cast<int8_t>(i);
    return table;
}
constexpr auto kReverse = makeReverse();

} // namespace

std::string EncodeBase64(std::string_view bytes) {
    // Written through a pointer into a buffer of the final size: replies of several hundred
    // kilobytes are encoded on every sensor-data request.
    std::string out((bytes.size() + 2) / 3 * 4, '=');
    char* o = out.data();
    const auto* in = reinterpret_cast<const unsigned char*>(bytes.data());
    size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        uint32_t v = (uint32_t(in[i]) << 16) | (uint32_t(in[i + 1]) << 8) | uint32_t(in[i + 2]);
        *o++ = kAlphabet[(v >> 18) & 63];
        *o++ = kAlphabet[(v >> 12) & 63];
        *o++ = kAlphabet[(v >> 6) & 63];
        *o++ = kAlphabet[v & 63];
    }
    size_t rest = bytes.size() - i;
    if (rest > 0) {
        uint32_t v = uint32_t(in[i]) << 16;
        if (rest == 2)
            v |= uint32_t(in[i + 1]) << 8;
        *o++ = kAlphabet[(v >> 18) & 63];
        *o++ = kAlphabet[(v >> 12) & 63];
        if (rest == 2)
            *o++ = kAlphabet[(v >> 6) & 63];
    }
    return out;
}

std::optional<std::string> DecodeBase64(std::string_view text) {
    if (text.size() % 4 != 0)
        return std::nullopt;
    std::string out;
    out.reserve(text.size() / 4 * 3);
    for (size_t i = 0; i < text.size(); i += 4) {
        int pad = 0;
        uint32_t v = 0;
        for (size_t k = 0; k < 4; ++k) {
            char c = text[i + k];
            if (c == '=') {
                // Padding only at the very end, and at most two characters of it.
                if (i + 4 != text.size() || k < 2)
                    return std::nullopt;
                ++pad;
                v <<= 6;
                continue;
            }
            if (pad)
                return std::nullopt;
            int8_t d = kReverse[static_cast<unsigned char>(c)];
            if (d < 0)
                return std::nullopt;
            v = (v << 6) | uint32_t(d);
        }
        out += char((v >> 16) & 0xFF);
        if (pad < 2)
            out += char((v >> 8) & 0xFF);
        if (pad < 1)
            out += char(v & 0xFF);
    }
    return out;
}
