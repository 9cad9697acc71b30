#include "host/shell/DevToolsFramer.h"

std::vector<std::string> DevToolsFramer::feed(std::string_view bytes) {
    std::vector<std::string> messages;
    if (broken)
        return messages;
    while (!bytes.empty()) {
        size_t end = bytes.find('\0');
        if (end == std::string_view::npos) {
            if (partial.size() + bytes.size() > limit) {
                broken = true;
                partial.clear();
                return messages;
            }
            partial.append(bytes);
            break;
        }
        partial.append(bytes.substr(0, end));
        messages.push_back(std::move(partial));
        partial.clear();
        bytes.remove_prefix(end + 1);
    }
    return messages;
}

std::string DevToolsFramer::frame(std::string_view message) {
    std::string out(message);
    out.push_back('\0');
    return out;
}
