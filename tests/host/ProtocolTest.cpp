// The protocol layer: framing, call and reply matching, the pipe under concurrent senders,
// the loop, and the small pure pieces that the browser client builds on.
#include "host/shell/Base64.h"
#include "host/shell/DevToolsChannel.h"
#include "host/shell/DevToolsFramer.h"
#include "host/shell/DevToolsPipe.h"
#include "host/shell/EventLoop.h"
#include "host/shell/LoadErrorPages.h"

#include "tests/support/Wait.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <set>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;

TEST(DevToolsFramer, MessagesSplitAndJoinedAnyHowComeOutWhole) {
    DevToolsFramer framer;
    EXPECT_TRUE(framer.feed("{\"id\":").empty());
    EXPECT_TRUE(framer.feed("1}").empty());
    auto out = framer.feed(std::string("\0{\"a\":2}\0{\"b\"", 13));
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0], "{\"id\":1}");
    EXPECT_EQ(out[1], "{\"a\":2}");
    EXPECT_EQ(framer.pendingBytes(), 4u);
    out = framer.feed(std::string(":3}\0", 4));
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0], "{\"b\":3}");
    // An empty message between two terminators is passed on (the channel drops it as malformed).
    EXPECT_EQ(framer.feed(std::string("\0", 1)), std::vector<std::string>{""});
}

TEST(DevToolsFramer, UnterminatedFloodBreaksTheStreamInsteadOfGrowingForever) {
    DevToolsFramer framer(16);
    EXPECT_TRUE(framer.feed("0123456789").empty());
    EXPECT_FALSE(framer.overflowed());
    EXPECT_TRUE(framer.feed("0123456789").empty());
    EXPECT_TRUE(framer.overflowed());
    EXPECT_EQ(framer.pendingBytes(), 0u);
    EXPECT_TRUE(framer.feed(std::string("{}\0", 3)).empty());
}

TEST(DevToolsChannel, RepliesReachTheirCallersAndEventsTheHandler) {
    std::vector<Json> sent;
    DevToolsChannel channel([&](const std::string& m) {
        sent.push_back(Json::parse(m));
        return true;
    });
    std::vector<std::string> seen;
    channel.setEventHandler([&](const std::string& method, const Json& params, const std::string& session) {
        seen.push_back(method + "@" + session + ":" + params.dump());
    });
    std::string first, second;
    auto a =
        channel.call("A.one", {{"x", 1}}, "S1", [&](const Json& r, const Json* e) { first = e ? "error" : r.dump(); });
    auto b = channel.call("B.two", Json::object(), "", [&](const Json& r, const Json* e) {
        second = e ? (*e)["message"].get<std::string>() : "ok";
    });
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0]["sessionId"], "S1");
    EXPECT_FALSE(sent[1].contains("sessionId"));
    EXPECT_NE(a, b);

    // Out of order, and with an event in between.
    channel.receive(Json{{"id", b}, {"error", {{"code", -32000}, {"message", "refused"}}}}.dump());
    channel.receive(R"({"method":"E.happened","params":{"k":2},"sessionId":"S9"})");
    channel.receive(Json{{"id", a}, {"result", {{"v", 7}}}}.dump());
    EXPECT_EQ(first, "{\"v\":7}");
    EXPECT_EQ(second, "refused");
    EXPECT_EQ(seen, std::vector<std::string>{"E.happened@S9:{\"k\":2}"});
    EXPECT_EQ(channel.waitingCalls(), 0u);
    // A second reply for the same call is ignored.
    channel.receive(Json{{"id", a}, {"result", {{"v", 8}}}}.dump());
    EXPECT_EQ(first, "{\"v\":7}");
}

TEST(DevToolsChannel, MalformedMessagesAreCountedAndDropped) {
    DevToolsChannel channel([](const std::string&) { return true; });
    int events = 0;
    channel.setEventHandler([&](const std::string&, const Json&, const std::string&) { ++events; });
    for (const char* bad : {"", "not json", "[1,2]", "{\"id\":\"x\"}", "{\"params\":{}}", "{\"method\":5}"})
        channel.receive(bad);
    EXPECT_EQ(channel.malformedMessages(), 6u);
    EXPECT_EQ(events, 0);
    channel.receive(R"({"method":"Ok.event"})"); // no params: still an event
    EXPECT_EQ(events, 1);
}

TEST(DevToolsChannel, CallsOfAnEndedSessionAreForgottenAndFailedSendsNeverAnswer) {
    bool up = true;
    DevToolsChannel channel([&](const std::string&) { return up; });
    int answers = 0;
    auto id = channel.call("A", Json::object(), "S1", [&](const Json&, const Json*) { ++answers; });
    channel.call("B", Json::object(), "S2", [&](const Json&, const Json*) { ++answers; });
    channel.forgetSession("S1");
    EXPECT_EQ(channel.waitingCalls(), 1u);
    channel.receive(Json{{"id", id}, {"result", Json::object()}}.dump());
    EXPECT_EQ(answers, 0);
    up = false;
    EXPECT_EQ(channel.call("C", Json::object(), "", [&](const Json&, const Json*) { ++answers; }), 0);
    EXPECT_EQ(channel.waitingCalls(), 1u);
}

TEST(DevToolsChannel, AReplyHandlerMayCallAgain) {
    std::vector<Json> sent;
    DevToolsChannel channel([&](const std::string& m) {
        sent.push_back(Json::parse(m));
        return true;
    });
    int depth = 0;
    std::function<void(const Json&, const Json*)> again = [&](const Json&, const Json*) {
        if (++depth < 3)
            channel.call("Again", Json::object(), "", again);
    };
    channel.call("First", Json::object(), "", again);
    for (int i = 0; i < 3; ++i)
        channel.receive(Json{{"id", sent[i]["id"]}, {"result", Json::object()}}.dump());
    EXPECT_EQ(depth, 3);
    EXPECT_EQ(sent.size(), 3u);
}

namespace {

// Both directions of a pipe pair as the browser would see them.
struct PipePair {
    PipePair() {
        ::signal(SIGPIPE, SIG_IGN); // as the host does: a gone browser is a failed write
        int toBrowser[2], fromBrowser[2];
        EXPECT_EQ(::pipe2(toBrowser, O_CLOEXEC), 0);
        EXPECT_EQ(::pipe2(fromBrowser, O_CLOEXEC), 0);
        browserReads = toBrowser[0];
        browserWrites = fromBrowser[1];
        host = std::make_unique<DevToolsPipe>(fromBrowser[0], toBrowser[1]);
    }
    ~PipePair() {
        if (browserReads >= 0)
            ::close(browserReads);
        if (browserWrites >= 0)
            ::close(browserWrites);
    }
    int browserReads = -1;
    int browserWrites = -1;
    std::unique_ptr<DevToolsPipe> host;
};

} // namespace

TEST(DevToolsPipe, ConcurrentSendersNeverInterleaveTheirMessages) {
    PipePair pair;
    constexpr int kThreads = 4, kMessages = 200;
    // Messages larger than the pipe's buffer so that writes are really split.
    std::string big(100'000, 'x');
    std::atomic<bool> readerDone{false};
    std::set<std::string> received;
    std::thread reader([&] {
        DevToolsFramer framer;
        char buf[8192];
        while (received.size() < size_t(kThreads * kMessages)) {
            ssize_t n = ::read(pair.browserReads, buf, sizeof buf);
            if (n <= 0)
                break;
            for (auto& m : framer.feed(std::string_view(buf, size_t(n))))
                received.insert(m);
        }
        readerDone = true;
    });
    std::vector<std::thread> senders;
    for (int t = 0; t < kThreads; ++t)
        senders.emplace_back([&, t] {
            for (int i = 0; i < kMessages; ++i)
                pair.host->send(std::to_string(t) + ":" + std::to_string(i) + (i % 50 == 0 ? big : ""));
        });
    for (auto& s : senders)
        s.join();
    reader.join();
    ASSERT_EQ(received.size(), size_t(kThreads * kMessages));
    EXPECT_TRUE(received.count("3:50" + big));
    EXPECT_TRUE(received.count("0:199"));
}

TEST(DevToolsPipe, ReadsWhatIsThereAndNoticesTheBrowserEndClosing) {
    PipePair pair;
    EXPECT_TRUE(pair.host->readAvailable().empty()); // nothing yet: does not block
    EXPECT_FALSE(pair.host->closed());
    std::string data("{\"a\":1}\0{\"b\"", 12);
    ASSERT_EQ(::write(pair.browserWrites, data.data(), data.size()), ssize_t(data.size()));
    auto messages = pair.host->readAvailable();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0], "{\"a\":1}");
    ::close(pair.browserWrites);
    pair.browserWrites = -1;
    EXPECT_TRUE(pair.host->readAvailable().empty()); // the half message is never delivered
    EXPECT_TRUE(pair.host->closed());

    ::close(pair.browserReads);
    pair.browserReads = -1;
    EXPECT_FALSE(pair.host->send("{}")) << "a browser that has gone shows as a failed send";
}

TEST(EventLoop, PostedWorkFromOtherThreadsRunsInOrderOnTheLoop) {
    EventLoop loop;
    std::vector<int> order;
    std::atomic<bool> allOnLoop{true};
    std::thread poster([&] {
        for (int i = 0; i < 1000; ++i)
            loop.post([&, i] {
                if (!loop.isLoopThread())
                    allOnLoop = false;
                order.push_back(i);
                if (i == 999)
                    loop.quit();
            });
    });
    loop.runAfter(5000ms, [&] { loop.quit(); }); // never hang
    loop.run();
    poster.join();
    ASSERT_EQ(order.size(), 1000u);
    for (int i = 0; i < 1000; ++i)
        ASSERT_EQ(order[size_t(i)], i);
    EXPECT_TRUE(allOnLoop);
    loop.shutdown();
    EXPECT_FALSE(loop.post([] {}));
}

TEST(EventLoop, TimersRunInDueOrderAndCancelledOnesNever) {
    EventLoop loop;
    std::vector<std::string> order;
    loop.runAfter(30ms, [&] {
        order.push_back("late");
        loop.quit();
    });
    auto cancelled = loop.runAfter(10ms, [&] { order.push_back("cancelled"); });
    loop.runAfter(5ms, [&] { order.push_back("early"); });
    loop.cancel(cancelled);
    auto start = std::chrono::steady_clock::now();
    loop.run();
    EXPECT_EQ(order, (std::vector<std::string>{"early", "late"}));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 30ms);
}

TEST(EventLoop, WatchedDescriptorWakesTheLoop) {
    EventLoop loop;
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC | O_NONBLOCK), 0);
    std::string got;
    loop.watch(fds[0], [&] {
        char c;
        while (::read(fds[0], &c, 1) == 1)
            got += c;
        loop.quit();
    });
    // The write comes once the loop has run a task, so it finds the loop waiting.
    std::atomic<bool> running{false};
    loop.post([&] { running = true; });
    std::thread writer([&] {
        waitFor(5000ms, [&] { return running.load(); });
        [[maybe_unused]] auto n = ::write(fds[1], "hi", 2);
    });
    loop.runAfter(5000ms, [&] { loop.quit(); });
    loop.run();
    writer.join();
    EXPECT_EQ(got, "hi");
    ::close(fds[0]);
    ::close(fds[1]);
}

TEST(Base64, RoundTripsEveryByteAndEveryPaddingLength) {
    std::string all;
    for (int i = 0; i < 256; ++i)
        all += char(i);
    for (size_t n : {0u, 1u, 2u, 3u, 4u, 255u, 256u}) {
        std::string bytes = all.substr(0, n);
        EXPECT_EQ(DecodeBase64(EncodeBase64(bytes)), bytes) << n;
    }
    EXPECT_EQ(EncodeBase64("Ma"), "TWE=");
    EXPECT_EQ(EncodeBase64(std::string("\0\xff\x10", 3)), "AP8Q");
    for (const char* bad : {"TWE", "TW=E", "T===", "TWE*", "=AAA"})
        EXPECT_FALSE(DecodeBase64(bad).has_value()) << bad;
}

TEST(LoadErrorPages, TextsAndEscaping) {
    EXPECT_FALSE(LoadErrorPage(-3, "http://x/", "net::ERR_ABORTED").has_value());
    EXPECT_EQ(*LoadErrorPage(-102, "http://x/", "net::ERR_CONNECTION_REFUSED"),
              "<html><head> <style>p, h2 {margin: 10px;}h2 {font-weight: 500;} </style></head>"
              "<body style='font-family: \"Helvetica Neue\", Helvetica, Arial, sans-serif;'>"
              "  <h2>Error</h2>  <p>The connection to the repository failed !</p>"
              "  <p>Please verify your internet connection.</p></body></html>");
    EXPECT_EQ(*LoadErrorPage(-105, "http://res/x?a=1&b=<i>", "net::ERR_NAME_NOT_RESOLVED"),
              "<html><body><h2>Failed to load URL http://res/x?a=1&amp;b=&lt;i&gt; with error "
              "net::ERR_NAME_NOT_RESOLVED (-105).</h2></body></html>");
}
