// The byte-stream framer fed one stream in pieces of fuzzed sizes.
//
// Input: a byte that seeds the cut sizes, then the stream. Whatever the stream and however
// it is cut, the framer must hand out only whole frames (length byte + 4 bytes, end byte
// 0x0A), account for every byte (handed out, dropped or held over), and cut exactly the
// frames it cuts when the same stream arrives in one piece.
#include "device/link/FrameReader.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

namespace {

struct Cut {
    std::vector<std::vector<uint8_t>> frames;
    uint64_t errors = 0, dropped = 0, pending = 0;
};

void check(bool ok) {
    if (!ok)
        abort();
}

Cut cutStream(const std::vector<uint8_t>& stream, const std::vector<size_t>& pieces) {
    FrameReader reader;
    Cut cut;
    size_t at = 0, piece = 0;
    while (at < stream.size()) {
        size_t size = pieces.empty() ? stream.size() : pieces[piece++ % pieces.size()];
        size = std::min(size, stream.size() - at);
        // An exact-size copy, so that a read past the piece is caught by the sanitizer.
        std::vector<uint8_t> chunk(stream.begin() + long(at), stream.begin() + long(at + size));
        size_t handed = reader.feed(chunk.data(), chunk.size(), [&](const uint8_t* data, size_t n) {
            check(n >= 4 && n == size_t(data[2]) + 4 && data[n - 1] == FrameReader::endByte);
            cut.frames.emplace_back(data, data + n);
        });
        (void)handed;
        check(reader.pendingBytes() < FrameReader::maxFrameSize);
        at += size;
    }
    cut.errors = reader.framingErrors();
    cut.dropped = reader.droppedBytes();
    cut.pending = reader.pendingBytes();
    check(reader.frameCount() == cut.frames.size());
    return cut;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2)
        return 0;
    FuzzedDataProvider in(data, size);
    // Piece sizes 1..64, mostly small so that frames straddle many reads.
    std::vector<size_t> pieces;
    size_t count = in.ConsumeIntegralInRange<size_t>(1, 16);
    for (size_t i = 0; i < count; ++i)
        pieces.push_back(in.ConsumeIntegralInRange<size_t>(1, 64));
    std::vector<uint8_t> stream = in.ConsumeRemainingBytes<uint8_t>();

    Cut whole = cutStream(stream, {});
    Cut split = cutStream(stream, pieces);

    uint64_t framed = 0;
    for (const auto& f : split.frames)
        framed += f.size();
    // Every byte is a frame's, dropped while resynchronising, or still held over.
    check(framed + split.dropped + split.pending == stream.size());
    // How the stream was cut into reads changes nothing.
    check(split.frames == whole.frames);
    check(split.errors == whole.errors);
    return 0;
}
