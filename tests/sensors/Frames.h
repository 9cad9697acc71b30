// Builders for data frames as the dongle sends them: 02 41 N remote counter 00 B blocks 0A.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <vector>

using Bytes = std::vector<uint8_t>;

// Big-endian 16-bit words.
inline Bytes words(std::initializer_list<int> values) {
    Bytes out;
    for (int v : values) {
        out.push_back(static_cast<uint8_t>((v >> 8) & 0xFF));
        out.push_back(static_cast<uint8_t>(v & 0xFF));
    }
    return out;
}

struct Block {
    int type;
    Bytes payload;
    int slot = -1; // bytes reserved for the block (padding after the payload); -1: payload size
};

inline Bytes dataFrame(int remote, int counter, std::initializer_list<Block> blocks) {
    Bytes f = {0x02,
               0x41,
               0x00,
               static_cast<uint8_t>(remote),
               static_cast<uint8_t>(counter),
               0x00,
               static_cast<uint8_t>(blocks.size())};
    for (const Block& b : blocks) {
        f.push_back(static_cast<uint8_t>(b.type));
        f.push_back(static_cast<uint8_t>(b.payload.size()));
        f.insert(f.end(), b.payload.begin(), b.payload.end());
        for (int pad = static_cast<int>(b.payload.size()); pad < b.slot; ++pad)
            f.push_back(0xEE);
    }
    f.push_back(0x0A);
    f[2] = static_cast<uint8_t>(f.size() - 4);
    return f;
}

// A frame with one block at position 7.
inline Bytes dataFrame(int remote, int counter, int type, const Bytes& payload) {
    return dataFrame(remote, counter, {Block{type, payload}});
}
