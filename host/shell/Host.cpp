#include "host/shell/Host.h"

#include "host/shell/BrowserClient.h"
#include "host/shell/BrowserProcess.h"
#include "host/shell/DevToolsChannel.h"
#include "host/shell/DevToolsPipe.h"
#include "host/shell/DeviceEvents.h"
#include "host/shell/EventLoop.h"
#include "host/shell/ExternalOpener.h"
#include "host/shell/HostPaths.h"

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <iostream>
#include <thread>
#include <unistd.h>

namespace {

int signalPipe[2] = {-1, -1};

void onSignal(int number) {
    unsigned char byte = static_cast<unsigned char>(number);
    [[maybe_unused]] auto n = ::write(signalPipe[1], &byte, 1);
}

// Termination signals become loop work: the first one closes the pages as the user would,
// a second one closes at once.
void installSignalHandlers() {
    if (signalPipe[0] < 0 && ::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    for (int s : {SIGINT, SIGTERM, SIGHUP})
        ::sigaction(s, &action, nullptr);
}

void restoreSignalHandlers() {
    for (int s : {SIGINT, SIGTERM, SIGHUP})
        ::signal(s, SIG_DFL);
}

} // namespace

int RunHost(const HostConfig& config) {
    auto trace = [&](const std::string& line) {
        if (config.trace)
            config.trace(line);
    };

    int readFd = -1;
    int writeFd = -1;
    std::string problem;
    auto arguments = BrowserArguments(config.options, config.profileDirectory, ::geteuid() == 0);
    auto browser = BrowserProcess::start(config.browserProgram, arguments,
                                         /*quiet=*/!config.trace, readFd, writeFd, problem);
    if (!browser) {
        std::cerr << "Korvex: " << problem << std::endl;
        return 1;
    }
    trace("browser started: pid " + std::to_string(browser->id()) + " " + config.browserProgram);

    DevToolsPipe pipe(readFd, writeFd);
    EventLoop loop;
    DevToolsChannel channel([&](const std::string& message) { return pipe.send(message); });

    int exitCode = 0;
    bool finishing = false;
    std::string failure;
    uint64_t exitTimer = 0;

    BrowserClient::Hooks hooks;
    hooks.trace = config.trace;
    hooks.warn = [&](const std::string& line) { std::cerr << "Korvex: " << line << std::endl; };
    hooks.openExternally = [&](const std::string& url) {
        std::string problem;
        if (!OpenExternally(url, problem))
            std::cerr << "Korvex: " << problem << std::endl;
    };
    hooks.pause = [](std::chrono::milliseconds d) { std::this_thread::sleep_for(d); };
    BrowserClient* clientPtr = nullptr;
    hooks.finish = [&](int code) {
        if (finishing)
            return;
        finishing = true;
        if (!failure.empty())
            exitCode = 1;
        else if (clientPtr && !clientPtr->mainPageShown()) {
            failure = "the browser ended before it showed the application";
            exitCode = 1;
        } else {
            exitCode = code;
        }
        if (pipe.closed()) {
            loop.quit();
            return;
        }
        // Asked to close: the browser gets a moment to end on its own.
        exitTimer = loop.runAfter(config.exitLimit, [&] {
            trace("browser did not exit in time; ending it");
            loop.quit();
        });
    };

    BrowserClient client(channel, config.api, config.options, config.resourceDirectory, hooks);
    clientPtr = &client;
    channel.setEventHandler(
        [&](const std::string& method, const Json& params, const std::string& session) {
            client.handleEvent(method, params, session);
        });
    if (config.extend)
        config.extend(client, loop);

    loop.watch(pipe.readDescriptor(), [&] {
        for (auto& message : pipe.readAvailable())
            channel.receive(message);
        if (!pipe.closed())
            return;
        loop.unwatch(pipe.readDescriptor());
        if (finishing) {
            loop.cancel(exitTimer);
            loop.quit();
        } else {
            client.browserGone();
        }
    });

    installSignalHandlers();
    int signalsSeen = 0;
    if (signalPipe[0] >= 0) {
        loop.watch(signalPipe[0], [&] {
            unsigned char byte;
            while (::read(signalPipe[0], &byte, 1) > 0) {
                ++signalsSeen;
                trace(std::string("signal ") + ::strsignal(byte));
                if (signalsSeen == 1) {
                    client.closeEveryBrowser();
                    // A browser that no longer answers must not keep the host alive.
                    loop.runAfter(std::chrono::milliseconds(3000),
                                  [&] { client.closeNow("pages did not close in time"); });
                } else {
                    client.closeNow("second signal");
                }
            }
        });
    }

    loop.runAfter(config.startupLimit, [&] {
        if (client.mainPageShown() || finishing)
            return;
        failure = "the browser did not show its window within " +
                  std::to_string(config.startupLimit.count() / 1000) + " s";
        client.closeNow("start-up timed out");
    });

    // Device events reach the pages through the loop, from whichever thread raised them.
    SetDeviceScriptTarget([&loop, &client](std::string script) {
        loop.post([&client, script = std::move(script)] { client.runInListeningPages(script); });
    });

    client.start();
    loop.run();

    ClearDeviceScriptTarget();
    loop.shutdown();
    restoreSignalHandlers();
    pipe.closeWriting(); // the browser sees end of file and exits if it has not yet
    if (!browser->waitForExit(std::chrono::milliseconds(2000))) {
        trace("browser still running; killing it");
        browser->kill();
    }
    trace("browser exited");
    if (!failure.empty())
        std::cerr << "Korvex: " << failure << std::endl;
    return exitCode;
}
