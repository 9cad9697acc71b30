// Cuts the browser's protocol byte stream into messages: each message is one JSON text
// followed by a NUL byte. Reads may end anywhere, so partial messages are kept until their
// terminator arrives.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

class DevToolsFramer {
public:
    // A message that grows past this without a terminator means the stream is broken (the
    // largest replies the host ever asks for are a few megabytes).
    static constexpr size_t kDefaultLimit = 256u * 1024u * 1024u;

    explicit DevToolsFramer(size_t limit = kDefaultLimit) : limit(limit) {}

    // Appends bytes and returns every message completed by them, in order, without the
    // terminators. After an overflow the framer stays broken and returns nothing.
    std::vector<std::string> feed(std::string_view bytes);

    bool overflowed() const { return broken; }
    size_t pendingBytes() const { return partial.size(); }

    // One message as it goes on the wire.
    static std::string frame(std::string_view message);

private:
    size_t limit;
    std::string partial;
    bool broken = false;
};
