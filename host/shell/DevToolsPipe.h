// The host's end of the browser's private protocol pipe: the browser reads calls from its
// descriptor 3 and writes replies and events to its descriptor 4.
#pragma once

#include "host/shell/DevToolsFramer.h"

#include <mutex>
#include <string>
#include <string_view>
#include <vector>

class DevToolsPipe {
public:
    // Takes ownership of both descriptors. The read end is made non-blocking.
    DevToolsPipe(int readFd, int writeFd);
    ~DevToolsPipe();
    DevToolsPipe(const DevToolsPipe&) = delete;
    DevToolsPipe& operator=(const DevToolsPipe&) = delete;

    // Any thread: writes one framed message completely; concurrent senders never interleave.
    // Returns false when the browser's end is gone.
    bool send(std::string_view message);

    // Reads whatever is available now and returns the completed messages. Sets closed() when
    // the browser's end has closed or the stream broke.
    std::vector<std::string> readAvailable();

    bool closed() const { return readClosed; }
    int readDescriptor() const { return readFd; }

    // Closes the writing end: the browser sees end of file and exits.
    void closeWriting();

private:
    int readFd;
    int writeFd;
    std::mutex writeLock;
    DevToolsFramer framer;
    bool readClosed = false;
};
