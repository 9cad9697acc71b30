#include "device/storage/RawDataWriter.h"

#include "device/base/FileSystem.h"
#include "device/base/IKorvexListener.h"
#include "device/storage/AcquisitionStack.h"

#include <boost/format.hpp>

#include <cerrno>
#include <chrono>
#include <exception>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The longest the thread sleeps without looking at the queue again. Every change of the
// queue wakes it at once; this only bounds the cost of a wake-up that went missing.
constexpr std::chrono::milliseconds idleRecheck{100};

} // namespace

RawDataWriter::RawDataWriter(IKorvexListener* listener, AcquisitionStack* acquisitionStack,
                             PacketQueue* rawQueue, FileSystem* fileSystem)
    : listener(listener), acquisitionStack(acquisitionStack), rawQueue(rawQueue),
      fileSystem(fileSystem) {}

RawDataWriter::~RawDataWriter() {
    // The thread has ended by now (its owner joins it first); a file left open by a
    // body that never ran its shutdown is still closed, without a report.
    if (rawFile >= 0)
        ::close(rawFile);
}

void RawDataWriter::setAbortHandler(AbortHandler handler) { abortHandler = std::move(handler); }

RawDataWriter::Counters RawDataWriter::counters() const {
    std::lock_guard lock(counterLock);
    return stats;
}

void RawDataWriter::listenLoop(std::stop_token stop) {
    while (!stop.stop_requested()) {
        try {
            onePass();
        } catch (const std::exception& e) {
            if (listener)
                listener->log(
                    boost::str(boost::format("RawDataWriter::listenLoop - ERROR %1%") % e.what()));
        }
        // Work for a pass: frames to write (or to drop), a run that ended while its file
        // is still open, or a new start after a failed run.
        rawQueue->waitUntil(stop, idleRecheck, [this](std::size_t queued, uint8_t flag) {
            return queued > 0 || (flag != 0 && rawFile >= 0) || (flag == 0 && recordingFailed);
        });
    }

    // Shutdown: what is queued now belongs to the run that is ending; write it, then close
    // the file whatever the flag says.
    try {
        onePass();
    } catch (const std::exception& e) {
        if (listener)
            listener->log(
                boost::str(boost::format("RawDataWriter::listenLoop - ERROR %1%") % e.what()));
    }
    if (rawFile >= 0)
        closeFile();
}

int64_t RawDataWriter::settledRawSize(const std::string& id, std::chrono::milliseconds limit) {
    // The flag goes up before a pass drains the queue, so an empty queue with no pass
    // running means every frame taken off it is in the file.
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while ((!rawQueue->empty() || inPass.load()) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::string folder = fileSystem ? fileSystem->getDirectory(FileSystem::RawData) : std::string();
    struct stat info {};
    if (folder.empty() || !FileSystem::isPlainFileName(id) ||
        ::stat((folder + id + ".raw").c_str(), &info) != 0 || !S_ISREG(info.st_mode))
        return 0;
    return static_cast<int64_t>(info.st_size);
}

void RawDataWriter::onePass() {
    inPass = true;
    struct PassEnd {
        std::atomic<bool>& flag;
        ~PassEnd() { flag = false; }
    } passEnd{inPass};
    // A cleared flag is a new start: a failure of the previous run no longer holds.
    if (rawQueue->flag() == 0)
        recordingFailed = false;

    if (rawFile < 0) {
        if (rawQueue->empty())
            return;
        if (recordingFailed) {
            // The file failed during this run and streaming is being stopped: the frames
            // still coming in have nowhere to go until the next start.
            dropQueued("recording stopped after a raw data file error");
            return;
        }
        // Frames with no file open: the start of a run, or a run so short that it was
        // over (flag up) before the writer got to it, or a late frame of the run that just
        // ended. All of them belong to the current acquisition and are written now, so
        // none is left in the queue for the next run.
        if (!openFile())
            return;
    }

    // Every frame queued now belongs to this run, including those queued after the stop
    // flag rose: the parser pushes a run's frames before it raises the flag.
    std::deque<std::unique_ptr<Packet>> frames = rawQueue->drain();
    if (!frames.empty()) {
        if (recordingFailed) {
            std::lock_guard lock(counterLock);
            stats.framesDropped += frames.size();
        } else {
            writeFrames(frames);
        }
    }

    // Flag first, then the queue: a frame of the run is always queued before the flag rises.
    if (rawQueue->flag() != 0 && rawQueue->empty())
        closeFile();
}

bool RawDataWriter::openFile() {
    std::string folder = fileSystem ? fileSystem->getDirectory(FileSystem::RawData) : std::string();
    std::string id = acquisitionStack ? acquisitionStack->currentAcquisitionID() : std::string();
    int fd = -1;
    if (!folder.empty() && FileSystem::isPlainFileName(id))
        fd =
            ::open((folder + id + ".raw").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
    if (fd < 0) {
        fail(24);
        dropQueued("raw data file not open");
        return false;
    }

    struct stat info {};
    rawFile = fd;
    rawPath = folder + id + ".raw";
    rawID = id;
    rawSize = (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode))
                  ? static_cast<uint64_t>(info.st_size)
                  : 0;
    {
        std::lock_guard lock(counterLock);
        ++stats.filesOpened;
    }
    if (listener)
        listener->log(
            boost::str(boost::format("RawDataWriter::listenLoop: Open file %1%.raw") % id));
    return true;
}

// The frames go to the system in one write per pass, so a frame is in the file (safe from
// a crash of this process) as soon as the writer has seen it; a pass takes milliseconds.
void RawDataWriter::writeFrames(std::deque<std::unique_ptr<Packet>>& frames) {
    std::vector<uint8_t> bytes;
    std::vector<std::size_t> ends; // offset just past each frame in `bytes`
    for (const auto& frame : frames) {
        if (!frame)
            continue;
        bytes.insert(bytes.end(), frame->data(), frame->data() + frame->size());
        ends.push_back(bytes.size());
    }

    std::size_t written = 0;
    while (written < bytes.size()) {
        ssize_t put = ::write(rawFile, bytes.data() + written, bytes.size() - written);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            break;
        written += static_cast<std::size_t>(put);
    }

    std::size_t whole = 0; // frames that reached the file completely
    std::size_t boundary = 0;
    while (whole < ends.size() && ends[whole] <= written)
        boundary = ends[whole++];
    {
        std::lock_guard lock(counterLock);
        stats.framesWritten += whole;
        stats.framesDropped += ends.size() - whole;
    }
    if (written == bytes.size()) {
        rawSize += written;
        return;
    }

    // A frame cut short would shift every later frame of the file, including a later
    // run's: take the partial frame back out so the file ends on a frame boundary.
    if (written > boundary)
        ::ftruncate(rawFile, static_cast<off_t>(rawSize + boundary));
    rawSize += boundary;
    if (listener)
        listener->log(boost::str(
            boost::format("RawDataWriter::listenLoop - %1% frame(s) not written to %2%.raw") %
            (ends.size() - whole) % rawID));
    fail(25);
}

void RawDataWriter::closeFile() {
    bool ok = true;
    // Flush to the disk so a finished recording survives a power cut too. A target that
    // cannot be synchronised (a device, a pipe) has nothing more to flush.
    if (::fdatasync(rawFile) != 0 && errno != EINVAL && errno != EROFS)
        ok = false;
    if (::close(rawFile) != 0 && errno != EINTR)
        ok = false;
    rawFile = -1;
    std::string id = rawID;
    rawPath.clear();
    rawID.clear();
    rawSize = 0;
    {
        std::lock_guard lock(counterLock);
        ++stats.filesClosed;
    }
    if (!ok) {
        if (listener)
            listener->error(26, "");
        return;
    }
    if (listener)
        listener->log(
            boost::str(boost::format("RawDataWriter::listenLoop: Close file %1%.raw") % id));
}

void RawDataWriter::dropQueued(const char* why) {
    std::size_t dropped = rawQueue->drain().size();
    if (dropped == 0)
        return;
    {
        std::lock_guard lock(counterLock);
        stats.framesDropped += dropped;
    }
    if (listener)
        listener->log(
            boost::str(boost::format("RawDataWriter::listenLoop - %1% frame(s) dropped: %2%") %
                       dropped % why));
}

void RawDataWriter::fail(int code) {
    // Nothing more is recorded until the next start clears the flag.
    recordingFailed = true;
    rawQueue->setFlag(1);
    if (listener)
        listener->error(code, "");
    if (abortHandler)
        abortHandler();
}

bool RawDataWriter::writeMetadata(const bson_t* document) {
    std::string id = acquisitionStack ? acquisitionStack->currentAcquisitionID() : std::string();
    std::string folder = fileSystem ? fileSystem->getDirectory(FileSystem::RawData) : std::string();
    if (!FileSystem::isPlainFileName(id) || folder.empty()) {
        if (listener)
            listener->log(boost::str(
                boost::format("RawDataWriter::writeMetadata - Cannot name the file for '%1%'") %
                id));
        return false;
    }
    std::string errorText;
    return fileSystem->saveBson(document, folder + id + ".bson", errorText);
}
