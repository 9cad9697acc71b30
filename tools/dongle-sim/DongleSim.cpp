#include "tools/dongle-sim/DongleSim.h"

#include "device/protocol/CommandCodes.h"
#include "device/protocol/CommandNames.h"
#include "device/protocol/Packet.h"
#include "tools/dongle-sim/SimCommandReader.h"
#include "tools/dongle-sim/SimControl.h"
#include "tools/enumser/PortRegistry.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <fstream>
#include <future>
#include <mutex>
#include <poll.h>
#include <random>
#include <sstream>
#include <sys/eventfd.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr auto tickPeriod = 10ms;
// Past this much unread output the simulated remotes' frames are lost, as a radio link
// would lose them; answers are always kept.
constexpr std::size_t backlogLimit = 64 * 1024;
// Unpaced streaming keeps this much output ahead of the reader.
constexpr std::size_t unpacedAhead = 16 * 1024;
// A stall longer than this is not caught up: the frames of the gap are lost.
constexpr auto catchUpLimit = 1s;
constexpr auto controlTimeout = 2s;

std::string hex(std::span<const uint8_t> bytes, std::size_t limit = 64) {
    std::string text;
    char item[4];
    for (std::size_t i = 0; i < bytes.size() && i < limit; ++i) {
        std::snprintf(item, sizeof item, i ? " %02X" : "%02X", bytes[i]);
        text += item;
    }
    if (bytes.size() > limit)
        text += " ...";
    return text;
}

} // namespace

struct DongleSim::Impl {
    explicit Impl(DongleSim& self, Options options)
        : owner(self), opts(std::move(options)), model(opts.model) {}

    DongleSim& owner;
    Options opts;
    DongleModel model;
    CommandNames names;
    SimCommandReader reader;

    int masterFd = -1;
    int wakeFd = -1;
    bool clientPresent = false;
    std::string path;            // guarded by mutex for readers off the thread
    std::filesystem::path entry; // guarded by mutex, like path

    std::jthread thread;
    // Set by the loop thread as it starts, read by control() on any thread.
    std::atomic<std::thread::id> loopThread{};
    mutable std::mutex mutex;
    struct Request {
        std::string line;
        std::promise<std::string> reply;
    };
    std::deque<std::shared_ptr<Request>> inbox;

    struct Chunk {
        std::vector<uint8_t> bytes;
        std::size_t offset = 0;
        Clock::duration gapBefore{};
    };
    std::deque<Chunk> output;
    std::size_t outputBytes = 0;
    Clock::time_point lastChunkWrite{};
    struct Delayed {
        Clock::time_point due;
        std::vector<uint8_t> frame;
    };
    std::vector<Delayed> delayed;
    struct Scheduled {
        Clock::time_point due;
        uint64_t order;
        std::string line;
    };
    std::vector<Scheduled> scheduled;
    uint64_t scheduleOrder = 0;

    // Faults.
    int splitMax = 0;
    Clock::duration splitGap = 1ms;
    int dropCount = 0;
    int lateCount = 0;
    Clock::duration lateDelay{};
    struct NackRule {
        int command; // -1: any
        int error;
        int remaining;
    };
    std::vector<NackRule> nackRules;
    bool paced = true;
    Clock::time_point nextTick{};
    std::mt19937_64 junk;

    // Hostile acts on data frames.
    std::deque<std::optional<HostileKind>> queuedActs; // nullopt: a kind at random
    double rates[hostileKindCount] = {};               // percent of data frames
    double anyRate = 0;
    uint64_t framesBuilt[2] = {}; // per remote: seeds each frame's acts
    int skipRemaining[2] = {};    // frames a counter jump still leaves out
    LineAudit audit;
    std::vector<HostileAct> acts; // guarded by mutex
    std::vector<uint8_t> record;  // guarded by mutex

    std::ofstream truth;
    std::function<void(const SimDataFrame&, bool)> dataCallback;
    Stats live;
    Stats published; // guarded by mutex

    // --- terminal ---------------------------------------------------------------------

    bool openTerminal(std::string* error) {
        int fd = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        char name[128] = {};
        if (fd < 0 || grantpt(fd) != 0 || unlockpt(fd) != 0 ||
            ptsname_r(fd, name, sizeof name) != 0) {
            if (error)
                *error = std::string("cannot open a pseudo-terminal: ") + std::strerror(errno);
            if (fd >= 0)
                close(fd);
            return false;
        }
        // Raw mode at 115200 baud, set on the terminal side. The settings stay with the
        // terminal after this descriptor closes, until the host opens it.
        int slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
        termios tio{};
        if (slave < 0 || tcgetattr(slave, &tio) != 0) {
            if (error)
                *error = std::string("cannot configure ") + name + ": " + std::strerror(errno);
            if (slave >= 0)
                close(slave);
            close(fd);
            return false;
        }
        cfmakeraw(&tio);
        cfsetispeed(&tio, B115200);
        cfsetospeed(&tio, B115200);
        tio.c_cflag |= CLOCAL | CREAD;
        tcsetattr(slave, TCSANOW, &tio);
        close(slave);

        masterFd = fd;
        clientPresent = false; // nobody has the terminal open until the host does
        reader.reset();
        {
            std::lock_guard lock(mutex);
            path = name;
        }
        if (opts.registerPort) {
            std::string why;
            auto added = registerPort(portRegistryDirectory(), name, &why);
            if (!added) {
                if (error)
                    *error = "cannot register " + std::string(name) + ": " + why;
                closeTerminal();
                return false;
            }
            std::lock_guard lock(mutex);
            entry = *added;
        }
        logLine(std::string("port ") + name);
        if (opts.portChanged)
            opts.portChanged(name);
        return true;
    }

    void closeTerminal() {
        if (!entry.empty())
            unregisterPort(entry);
        {
            std::lock_guard lock(mutex);
            entry.clear();
        }
        if (masterFd >= 0)
            close(masterFd);
        masterFd = -1;
        clientPresent = false;
        dropPendingOutput();
        reader.reset();
        {
            std::lock_guard lock(mutex);
            path.clear();
        }
    }

    void dropPendingOutput() {
        output.clear();
        outputBytes = 0;
        delayed.clear();
        audit.lineLost();
    }

    // The host closed the terminal: what was on its way is lost, as with a real port.
    void clientGone() {
        if (!clientPresent)
            return;
        clientPresent = false;
        tcflush(masterFd, TCOFLUSH);
        dropPendingOutput();
        reader.reset();
        logLine("host closed the port");
    }

    void probeClient() {
        pollfd p{masterFd, POLLIN, 0};
        if (poll(&p, 1, 0) >= 0 && !(p.revents & POLLHUP)) {
            clientPresent = true;
            if (opts.announceRemotes)
                model.hostAttached();
            logLine("host opened the port");
        }
    }

    // --- output -----------------------------------------------------------------------

    // Whether bytes can go out: a host has the terminal, and (for the remotes' frames) it
    // keeps up.
    bool lineOpen(bool isData) const {
        return masterFd >= 0 && clientPresent && !(isData && outputBytes > backlogLimit);
    }

    bool enqueue(const std::vector<uint8_t>& bytes, bool isData) {
        if (!lineOpen(isData))
            return false;
        audit.frame(bytes, isData);
        put(bytes);
        return true;
    }

    void enqueueJunk(const std::vector<uint8_t>& bytes, HostileKind kind) {
        audit.junk(bytes, kind);
        live.junkBytes += bytes.size();
        put(bytes);
    }

    void put(const std::vector<uint8_t>& bytes) {
        if (splitMax > 0) {
            for (std::size_t at = 0; at < bytes.size(); at += static_cast<std::size_t>(splitMax)) {
                std::size_t n =
                    std::min<std::size_t>(static_cast<std::size_t>(splitMax), bytes.size() - at);
                output.push_back(Chunk{{bytes.begin() + at, bytes.begin() + at + n}, 0, splitGap});
            }
        } else {
            output.push_back(Chunk{bytes, 0, {}});
        }
        outputBytes += bytes.size();
    }

    Clock::time_point nextWriteTime() const {
        if (output.empty())
            return Clock::time_point::max();
        return lastChunkWrite + output.front().gapBefore;
    }

    void writeOutput(Clock::time_point now) {
        while (!output.empty() && masterFd >= 0 && clientPresent) {
            Chunk& chunk = output.front();
            if (chunk.offset == 0 && now < lastChunkWrite + chunk.gapBefore)
                return;
            ssize_t n = write(masterFd, chunk.bytes.data() + chunk.offset,
                              chunk.bytes.size() - chunk.offset);
            if (n < 0) {
                if (errno == EIO)
                    clientGone();
                return; // EAGAIN: the host is not reading; wait for room
            }
            live.bytesWritten += static_cast<uint64_t>(n);
            if (opts.recordLine) {
                std::lock_guard lock(mutex);
                record.insert(record.end(),
                              chunk.bytes.begin() + static_cast<std::ptrdiff_t>(chunk.offset),
                              chunk.bytes.begin() + static_cast<std::ptrdiff_t>(chunk.offset) + n);
            }
            chunk.offset += static_cast<std::size_t>(n);
            outputBytes -= static_cast<std::size_t>(n);
            if (chunk.offset < chunk.bytes.size())
                return;
            output.pop_front();
            lastChunkWrite = now;
        }
    }

    void deliver(const std::vector<SimEmission>& emissions, Clock::time_point now) {
        for (const SimEmission& e : emissions) {
            if (e.kind == SimEmission::Kind::Answer) {
                if (dropCount > 0) {
                    --dropCount;
                    ++live.answersDropped;
                    logLine("-> (dropped) " + describeFrame(e.frame));
                    continue;
                }
                if (lateCount > 0) {
                    --lateCount;
                    delayed.push_back({now + lateDelay, e.frame});
                    logLine("-> (late) " + describeFrame(e.frame));
                    continue;
                }
                if (enqueue(e.frame, false))
                    ++live.answersSent;
                logLine("-> " + describeFrame(e.frame));
            } else if (e.kind == SimEmission::Kind::Connection) {
                if (enqueue(e.frame, false))
                    ++live.connectionFramesSent;
                logLine("-> " + describeFrame(e.frame));
            }
        }
    }

    std::string describeFrame(std::span<const uint8_t> frame) const {
        if (frame.size() < 4)
            return hex(frame);
        std::string name = names.commandName(frame[1]);
        if ((frame[1] == ACK || frame[1] == NACK) && frame.size() > 4)
            name += "(" + names.commandName(frame[3]) + ")";
        if (frame[1] == NACK && frame.size() > 5)
            name += " " + names.nackText(frame[4]);
        return (name.empty() ? std::string("?") : name) + "  [" + hex(frame) + "]";
    }

    void logLine(const std::string& text) {
        if (opts.log)
            opts.log(text);
    }

    // --- input ------------------------------------------------------------------------

    void readInput(Clock::time_point now) {
        uint8_t buffer[4096];
        for (;;) {
            ssize_t n = read(masterFd, buffer, sizeof buffer);
            if (n > 0) {
                handleReaderEvents(reader.feed(std::span(buffer, static_cast<std::size_t>(n)), now),
                                   now);
                continue;
            }
            if (n < 0 && errno == EIO)
                clientGone();
            return;
        }
    }

    void handleReaderEvents(const std::vector<SimCommandReader::Event>& events,
                            Clock::time_point now) {
        live.bytesSkipped = reader.skippedBytes();
        for (const auto& event : events) {
            if (!event.isFrame) {
                ++live.framingErrors;
                logLine("<- unreadable frame, " + names.nackText(event.error));
                deliver({model.framingError(event.command, event.error)}, now);
                continue;
            }
            ++live.commandsReceived;
            logLine("<- " + describeFrame(event.frame));
            const uint8_t command = event.frame[1];
            auto rule = std::find_if(nackRules.begin(), nackRules.end(), [&](const NackRule& r) {
                return r.command < 0 || r.command == command;
            });
            if (rule != nackRules.end()) {
                SimEmission refusal =
                    model.framingError(command, static_cast<uint8_t>(rule->error));
                if (--rule->remaining <= 0)
                    nackRules.erase(rule);
                deliver({refusal}, now);
                continue;
            }
            deliver(model.handleCommand(event.frame), now);
        }
    }

    // --- time -------------------------------------------------------------------------

    void doTick(Clock::time_point now, bool canSend) {
        std::vector<SimDataFrame> frames;
        std::vector<SimEmission> emissions = model.tick(&frames);
        deliver(emissions, now);
        for (SimDataFrame& data : frames) {
            const uint64_t number = framesBuilt[data.remote - 1]++;
            const bool open = canSend && lineOpen(true);
            const bool sent = open && sendData(data, number);
            if (!open)
                ++live.dataFramesLost;
            else if (sent)
                ++live.dataFramesSent;
            else
                ++live.countersSkipped;
            recordTruth(data, sent);
            if (dataCallback)
                dataCallback(data, sent);
        }
        live.ticks = model.ticks();
    }

    // Puts a data frame on the line, with the act it gets if any. False when a counter jump
    // leaves it out.
    bool sendData(SimDataFrame& data, uint64_t number) {
        int& skipping = skipRemaining[data.remote - 1];
        if (data.frameIndex == 0)
            skipping = 0; // a jump ends with its stream
        if (skipping > 0) {
            --skipping;
            return false;
        }
        std::mt19937_64 random = hostileGenerator(opts.model.seed, data.remote, number);
        std::optional<HostileKind> kind = chooseAct(random);
        if (!kind) {
            audit.frame(data.frame, true);
            put(data.frame);
            return true;
        }
        HostileAct act;
        act.remote = data.remote;
        act.counter = data.counter;
        act.frameIndex = data.frameIndex;
        act.lineOffset = live.bytesWritten + outputBytes;
        std::vector<LinePiece> pieces = hostilePieces(*kind, data.frame, random, act);
        {
            std::lock_guard lock(mutex);
            acts.push_back(act);
        }
        logLine(std::string("hostile ") + hostileKindName(*kind) + " on remote " +
                std::to_string(data.remote) + " counter " + std::to_string(data.counter));
        if (*kind == HostileKind::CounterJump) {
            ++live.counterJumps;
            skipping = act.count - 1;
            return false;
        }
        for (const LinePiece& piece : pieces) {
            switch (piece.what) {
            case LinePiece::What::Frame:
                audit.frame(piece.bytes, true);
                put(piece.bytes);
                break;
            case LinePiece::What::Altered:
                data.altered = true;
                audit.altered(piece.bytes, *kind);
                put(piece.bytes);
                break;
            case LinePiece::What::Copy:
                audit.copy(piece.bytes);
                put(piece.bytes);
                ++live.dataFramesDuplicated;
                break;
            case LinePiece::What::Junk: enqueueJunk(piece.bytes, *kind); break;
            }
        }
        if (*kind == HostileKind::JunkInside)
            live.junkBytes += static_cast<uint64_t>(act.count);
        return true;
    }

    // The act for the next data frame: a queued one first, else one drawn by the rates.
    std::optional<HostileKind> chooseAct(std::mt19937_64& random) {
        const double draw =
            static_cast<double>(random() >> 11) * (100.0 / 9007199254740992.0); // [0, 100)
        auto anyKind = [&] { return static_cast<HostileKind>(random() % hostileKindCount); };
        if (!queuedActs.empty()) {
            std::optional<HostileKind> kind = queuedActs.front();
            queuedActs.pop_front();
            return kind ? kind : anyKind();
        }
        double below = 0;
        for (int k = 0; k < hostileKindCount; ++k) {
            below += rates[k];
            if (draw < below)
                return static_cast<HostileKind>(k);
        }
        if (draw < below + anyRate)
            return anyKind();
        return std::nullopt;
    }

    void publish() {
        const LineAudit::Counts& c = audit.counts();
        live.dataFramesIntact = c.intact;
        live.dataFramesPending = c.pending;
        live.dataFramesFound = c.found;
        live.otherFramesCost = c.otherCost;
        std::copy(std::begin(c.damaged), std::end(c.damaged), std::begin(live.damaged));
        std::copy(std::begin(c.cost), std::end(c.cost), std::begin(live.cost));
        std::lock_guard lock(mutex);
        published = live;
    }

    void recordTruth(const SimDataFrame& data, bool sent) {
        if (!truth.is_open())
            return;
        truth << "frame " << model.ticks() << ' ' << data.remote << ' ' << data.counter << ' '
              << data.config << ' ' << data.frameIndex << ' ' << (sent ? "sent" : "lost") << ' '
              << hex(data.frame, data.frame.size()) << '\n';
        char number[32];
        for (const SimTruthSample& s : data.samples) {
            truth << "sample " << data.remote << ' ' << data.counter << ' ' << s.type << ' '
                  << s.index << ' ' << s.sampleNumber;
            for (double v : s.values) {
                std::snprintf(number, sizeof number, " %.9g", v);
                truth << number;
            }
            truth << '\n';
        }
    }

    void runTicks(Clock::time_point now) {
        if (!paced && clientPresent && masterFd >= 0) {
            // Unpaced: keep the host's reader busy, no faster than it reads.
            for (int n = 0; n < 64 && model.runActive() && outputBytes < unpacedAhead; ++n)
                doTick(now, true);
            if (model.runActive()) {
                nextTick = now + tickPeriod;
                return;
            }
        }
        if (now - nextTick > catchUpLimit) {
            // The process was held up (stopped, swapped out): the frames of the gap are
            // gone, but the remotes' counters ran on.
            while (now - nextTick > tickPeriod) {
                doTick(now, false);
                nextTick += tickPeriod;
            }
        }
        while (now >= nextTick) {
            doTick(now, true);
            nextTick += tickPeriod;
        }
    }

    void runDue(Clock::time_point now) {
        std::vector<Delayed> due;
        std::erase_if(delayed, [&](const Delayed& d) {
            if (d.due > now)
                return false;
            due.push_back(d);
            return true;
        });
        for (const Delayed& d : due) {
            if (enqueue(d.frame, false))
                ++live.answersSent;
            logLine("-> (late, now) " + describeFrame(d.frame));
        }
        std::sort(scheduled.begin(), scheduled.end(), [](const Scheduled& a, const Scheduled& b) {
            return a.due != b.due ? a.due < b.due : a.order < b.order;
        });
        while (!scheduled.empty() && scheduled.front().due <= now) {
            std::string line = scheduled.front().line;
            scheduled.erase(scheduled.begin());
            logLine("scheduled: " + line + " -> " + execute(line));
        }
    }

    Clock::time_point nextDeadline(Clock::time_point now) const {
        Clock::time_point deadline = nextTick;
        if (!paced && model.runActive() && clientPresent && outputBytes < unpacedAhead)
            deadline = now;
        for (const Delayed& d : delayed)
            deadline = std::min(deadline, d.due);
        for (const Scheduled& s : scheduled)
            deadline = std::min(deadline, s.due);
        deadline = std::min(deadline, reader.deadline());
        if (!output.empty() && output.front().offset == 0 &&
            output.front().gapBefore > Clock::duration::zero())
            deadline = std::min(deadline, nextWriteTime());
        if (masterFd >= 0 && !clientPresent)
            deadline = std::min(deadline, now + 5ms); // look for the host opening the port
        return deadline;
    }

    void loop(std::stop_token stop) {
        loopThread = std::this_thread::get_id();
        nextTick = Clock::now() + tickPeriod;
        while (!stop.stop_requested()) {
            Clock::time_point now = Clock::now();
            processInbox();
            runDue(now);
            if (masterFd >= 0 && !clientPresent)
                probeClient();
            if (masterFd >= 0 && clientPresent)
                readInput(now);
            handleReaderEvents(reader.expire(now), now);
            runTicks(now);
            writeOutput(Clock::now());
            publish();

            now = Clock::now();
            Clock::time_point deadline = nextDeadline(now);
            auto wait = deadline <= now ? Clock::duration::zero() : deadline - now;
            wait = std::min<Clock::duration>(wait, 50ms);
            timespec ts{};
            auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count();
            ts.tv_sec = static_cast<time_t>(ns / 1000000000);
            ts.tv_nsec = static_cast<long>(ns % 1000000000);
            pollfd fds[2] = {{wakeFd, POLLIN, 0}, {-1, 0, 0}};
            nfds_t count = 1;
            if (masterFd >= 0 && clientPresent) {
                short events = POLLIN;
                if (!output.empty() && Clock::now() >= nextWriteTime())
                    events |= POLLOUT;
                fds[1] = {masterFd, events, 0};
                count = 2;
            }
            ppoll(fds, count, &ts, nullptr);
            if (fds[0].revents & POLLIN) {
                uint64_t value;
                [[maybe_unused]] ssize_t r = read(wakeFd, &value, sizeof value);
            }
            if (count == 2 && (fds[1].revents & (POLLHUP | POLLERR)) && !(fds[1].revents & POLLIN))
                clientGone();
        }
    }

    void processInbox() {
        std::deque<std::shared_ptr<Request>> requests;
        {
            std::lock_guard lock(mutex);
            requests.swap(inbox);
        }
        for (auto& request : requests)
            request->reply.set_value(execute(request->line));
    }

    void wake() {
        uint64_t one = 1;
        [[maybe_unused]] ssize_t r = write(wakeFd, &one, sizeof one);
    }

    // --- control lines ----------------------------------------------------------------

    std::string execute(const std::string& text) {
        using Verb = ControlLine::Verb;
        ControlParse parsed = parseControlLine(text, names.commands());
        if (!parsed.line)
            return parsed.error;
        const ControlLine& c = *parsed.line;
        switch (c.verb) {
        case Verb::Nothing: return "ok";
        case Verb::Unplug:
            if (masterFd >= 0) {
                model.unplug();
                closeTerminal();
                logLine("unplugged");
                if (opts.portChanged)
                    opts.portChanged("");
            }
            return "ok unplugged";
        case Verb::Replug: {
            if (masterFd >= 0) {
                model.unplug();
                closeTerminal();
            }
            std::string error;
            if (!openTerminal(&error))
                return "error: " + error;
            return "ok port " + path;
        }
        case Verb::RadioDrop:
        case Verb::RadioReturn:
            deliver(model.setInRange(c.remote, c.verb == Verb::RadioReturn), Clock::now());
            return "ok";
        case Verb::Garbage: {
            std::vector<uint8_t> bytes = c.bytes;
            // Junk without start bytes, so that it never looks like the start of a frame.
            for (long i = 0; i < c.count; ++i) {
                auto v = static_cast<uint8_t>(junk());
                bytes.push_back(v == FRAME_SOP ? 0x55 : v);
            }
            if (!lineOpen(false))
                return "error: no host on the port";
            enqueueJunk(bytes, HostileKind::Garbage);
            return "ok";
        }
        case Verb::HostileOff:
            queuedActs.clear();
            std::fill(std::begin(rates), std::end(rates), 0.0);
            anyRate = 0;
            return "ok";
        case Verb::Hostile: {
            if (!c.percent) {
                queuedActs.push_back(c.kind);
                return "ok";
            }
            double& rate = c.kind ? rates[static_cast<int>(*c.kind)] : anyRate;
            double total = anyRate + *c.percent - rate;
            for (double r : rates)
                total += r;
            if (total > 100.0 + 1e-9)
                return "error: the hostile shares would add up to more than 100 percent";
            rate = *c.percent;
            return "ok";
        }
        case Verb::SplitOff: splitMax = 0; return "ok";
        case Verb::Split:
            splitMax = c.maxBytes;
            splitGap = c.delay;
            return "ok";
        case Verb::DropAnswers: dropCount = static_cast<int>(c.count); return "ok";
        case Verb::LateAnswers:
            lateCount = static_cast<int>(c.count);
            lateDelay = c.delay;
            return "ok";
        case Verb::Nack:
            nackRules.push_back({c.command, c.error, static_cast<int>(c.count)});
            return "ok";
        case Verb::Paced:
            paced = c.on;
            nextTick = Clock::now() + tickPeriod;
            return "ok";
        case Verb::Config:
            return model.setFixedConfig(c.remote, c.config)
                       ? "ok"
                       : "error: remote not paired, streaming, or no such configuration";
        case Verb::Battery: model.setBattery(c.remote, c.volts); return "ok";
        case Verb::At:
            scheduled.push_back({Clock::now() + c.delay, scheduleOrder++, c.line});
            return "ok";
        case Verb::Status:
            return "ok " + (masterFd >= 0 ? path : std::string("unplugged")) + " | " +
                   model.describe();
        case Verb::Stats: {
            std::ostringstream text;
            text << "ok commands " << live.commandsReceived << " answers " << live.answersSent
                 << " dropped " << live.answersDropped << " data " << live.dataFramesSent
                 << " lost " << live.dataFramesLost << " framing " << live.framingErrors
                 << " ticks " << live.ticks;
            const LineAudit::Counts& counts = audit.counts();
            text << " | intact " << counts.intact << " pending " << counts.pending << " found "
                 << counts.found;
            for (int k = 0; k < hostileKindCount; ++k)
                if (counts.damaged[k] || counts.cost[k])
                    text << ' ' << hostileKindName(static_cast<HostileKind>(k)) << ' '
                         << counts.damaged[k] << '+' << counts.cost[k];
            text << " duplicated " << live.dataFramesDuplicated << " jumps " << live.counterJumps
                 << " skipped " << live.countersSkipped << " junk " << live.junkBytes;
            return text.str();
        }
        case Verb::Quit: owner.quit = true; return "ok";
        }
        return "ok";
    }
};

// --- DongleSim --------------------------------------------------------------------------------

DongleSim::DongleSim() : DongleSim(Options{}) {}

DongleSim::DongleSim(Options options) : impl(std::make_unique<Impl>(*this, std::move(options))) {}

DongleSim::~DongleSim() { stop(); }

bool DongleSim::start(std::string* error) {
    if (running)
        return true;
    Impl& s = *impl;
    s.paced = s.opts.paced;
    s.junk.seed(s.opts.model.seed ^ 0x6A756E6Bull);
    for (const auto& [kind, percent] : s.opts.hostile) {
        std::ostringstream line;
        line << "hostile " << kind << ' ' << percent;
        std::string answer = s.execute(line.str());
        if (answer.rfind("error", 0) == 0) {
            if (error)
                *error = answer.substr(7);
            return false;
        }
    }

    // Start state: which remotes exist, which slots are paired, who is switched on.
    DongleModel& m = s.model;
    for (int unit = 1; unit <= 2; ++unit) {
        bool present =
            std::find(s.opts.remotes.begin(), s.opts.remotes.end(), unit) != s.opts.remotes.end();
        m.setUnitPresent(unit, present);
        if (s.opts.state != StartState::Idle && present)
            m.setPairing(unit, m.unitID(unit));
        if (s.opts.state == StartState::Paired)
            m.setInRange(unit, false);
    }
    for (const auto& [remote, config] : s.opts.fixedConfigs) {
        if (!m.setFixedConfig(remote, config)) {
            if (error)
                *error = "cannot give remote " + std::to_string(remote) + " configuration " +
                         std::to_string(config);
            return false;
        }
    }
    m.settleConnections();

    if (!s.opts.truthPath.empty()) {
        s.truth.open(s.opts.truthPath, std::ios::trunc);
        if (!s.truth) {
            if (error)
                *error = "cannot write " + s.opts.truthPath;
            return false;
        }
        s.truth
            << "# korvex-dongle-sim truth 1 seed " << s.opts.model.seed << '\n'
            << "# frame <tick> <remote> <counter> <config> <frame-index> <sent|lost> <bytes>\n"
            << "# sample <remote> <counter> <type> <index> <sample-number> <decoded values...>\n";
    }
    s.wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (s.wakeFd < 0) {
        if (error)
            *error = std::string("eventfd: ") + std::strerror(errno);
        return false;
    }
    if (!s.openTerminal(error)) {
        close(s.wakeFd);
        s.wakeFd = -1;
        return false;
    }
    running = true;
    s.thread = std::jthread([&s](std::stop_token stop) { s.loop(stop); });
    return true;
}

void DongleSim::stop() {
    if (!running.exchange(false))
        return;
    Impl& s = *impl;
    s.thread.request_stop();
    s.wake();
    if (s.thread.joinable())
        s.thread.join();
    {
        std::lock_guard lock(s.mutex);
        for (auto& request : s.inbox)
            request->reply.set_value("error: simulator stopped");
        s.inbox.clear();
    }
    s.closeTerminal();
    if (s.truth.is_open())
        s.truth.close();
    close(s.wakeFd);
    s.wakeFd = -1;
}

std::string DongleSim::portPath() const {
    std::lock_guard lock(impl->mutex);
    return impl->path;
}

std::string DongleSim::registryEntry() const {
    std::lock_guard lock(impl->mutex);
    return impl->entry.string();
}

std::string DongleSim::control(const std::string& line) {
    Impl& s = *impl;
    if (!running || std::this_thread::get_id() == s.loopThread.load())
        return s.execute(line);
    auto request = std::make_shared<Impl::Request>();
    request->line = line;
    auto answer = request->reply.get_future();
    {
        std::lock_guard lock(s.mutex);
        s.inbox.push_back(request);
    }
    s.wake();
    if (answer.wait_for(controlTimeout) != std::future_status::ready)
        return "error: the simulator did not answer";
    return answer.get();
}

void DongleSim::splitWrites(int maxBytes, int gapMs) {
    control(maxBytes <= 0 ? std::string("split off")
                          : "split " + std::to_string(maxBytes) + " " + std::to_string(gapMs));
}

void DongleSim::lateAnswers(int count, int delayMs) {
    control("late-answers " + std::to_string(count) + " " + std::to_string(delayMs));
}

void DongleSim::nackNext(int command, int error, int count) {
    control("nack " + (command < 0 ? std::string("any") : std::to_string(command)) + " " +
            std::to_string(error) + " " + std::to_string(count));
}

void DongleSim::schedule(int delayMs, const std::string& line) {
    control("at " + std::to_string(delayMs) + " " + line);
}

bool DongleSim::hostileRate(HostileKind kind, double percent) {
    std::ostringstream line;
    line << "hostile " << hostileKindName(kind) << ' ' << percent;
    return control(line.str()) == "ok";
}

std::vector<HostileAct> DongleSim::hostileActs() const {
    std::lock_guard lock(impl->mutex);
    return impl->acts;
}

std::vector<uint8_t> DongleSim::lineRecord() const {
    std::lock_guard lock(impl->mutex);
    return impl->record;
}

DongleSim::Stats DongleSim::stats() const {
    std::lock_guard lock(impl->mutex);
    return impl->published;
}

void DongleSim::onDataFrame(std::function<void(const SimDataFrame&, bool)> callback) {
    impl->dataCallback = std::move(callback);
}
