#include "host/shell/DevToolsPipe.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

DevToolsPipe::DevToolsPipe(int readFd, int writeFd) : readFd(readFd), writeFd(writeFd) {
    int flags = ::fcntl(readFd, F_GETFL);
    if (flags >= 0)
        ::fcntl(readFd, F_SETFL, flags | O_NONBLOCK);
}

DevToolsPipe::~DevToolsPipe() {
    if (readFd >= 0)
        ::close(readFd);
    closeWriting();
}

bool DevToolsPipe::send(std::string_view message) {
    std::lock_guard lock(writeLock);
    if (writeFd < 0)
        return false;
    std::string framed = DevToolsFramer::frame(message);
    const char* data = framed.data();
    size_t left = framed.size();
    while (left > 0) {
        ssize_t n = ::write(writeFd, data, left);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false; // EPIPE: the browser is gone (SIGPIPE is ignored by the host)
        }
        data += n;
        left -= static_cast<size_t>(n);
    }
    return true;
}

std::vector<std::string> DevToolsPipe::readAvailable() {
    std::vector<std::string> messages;
    if (readClosed)
        return messages;
    char buffer[65536];
    // A bounded number of reads per call keeps the loop responsive under a flood of events;
    // whatever is left makes the descriptor readable again.
    for (int reads = 0; reads < 64; ++reads) {
        ssize_t n = ::read(readFd, buffer, sizeof buffer);
        if (n > 0) {
            auto completed = framer.feed(std::string_view(buffer, static_cast<size_t>(n)));
            for (auto& m : completed)
                messages.push_back(std::move(m));
            if (framer.overflowed()) {
                readClosed = true;
                break;
            }
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        readClosed = true; // end of file or a read error: the browser's end is gone
        break;
    }
    return messages;
}

void DevToolsPipe::closeWriting() {
    std::lock_guard lock(writeLock);
    if (writeFd >= 0) {
        ::close(writeFd);
        writeFd = -1;
    }
}
