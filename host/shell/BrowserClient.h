// The browser client: what the host does with the browser's pages.
//
// It keeps the pages of the browser apart (the main page is the first page; every other page
// opened by a page is a popup, in creation order; a popup named "Korvex Repository" is a
// repository window), prepares every page before its first script (interception of
// "http://res/", the page scripts and bindings, crash and load-error reports), answers
// resource requests, replaces failed loads with the load-error pages, reloads a crashed page,
// and runs the closing steps when the main page goes away.
//
// The application's own pages are the documents served from "http://res/": only they get the
// page bridge (a binding call from any other origin is dropped) and device events, and the
// application's windows (the main page and repository windows) never leave them for an
// outside address: such a navigation is cancelled and the address handed to the user's
// default browser instead.
//
// All of it runs on the host's loop thread, which is also the only thread that calls the
// device library; other threads post work to that loop. No lock is needed.
#pragma once

#include "KorvexAPI.h"
#include "host/shell/DevToolsChannel.h"
#include "host/shell/HostOptions.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

inline constexpr const char* kRepositoryWindowName = "Korvex Repository";
inline constexpr const char* kApplicationOrigin = "http://res";
inline constexpr const char* kRepositoryClosedScript =
    "KorvexEventHandler.sendEvent({name: 'repository', args: {closed: true}})";

struct PageInfo {
    enum class Kind { Main, Popup, Other };
    Kind kind = Kind::Other;
    std::string targetId;
    std::string sessionId;
    std::string openerId;
    std::string url; // main frame's current address (the failed one while an error page shows)
    std::string title;
    std::string name;   // main frame's window name
    bool ready = false; // prepared and running
    bool isRepository() const { return kind == Kind::Popup && name == kRepositoryWindowName; }
    // The main page and repository windows: the windows that show the application.
    bool isApplicationWindow() const { return kind == Kind::Main || isRepository(); }
};

// True for an address served from the application's own origin ("http://res/...").
bool IsApplicationAddress(const std::string& url);

// The browser closed without being asked (a crash, a kill): the host's exit code then.
inline constexpr int kBrowserEndedExitCode = 3;

class BrowserClient {
public:
    struct Hooks {
        // The closing steps are done: end the host with this exit code.
        std::function<void(int exitCode)> finish;
        // The pause after powering the remotes down (a real sleep in the program).
        std::function<void(std::chrono::milliseconds)> pause;
        // Diagnostics, one line each; may be empty.
        std::function<void(const std::string&)> trace;
        // Something the user should hear about even without tracing (a refused request);
        // may be empty.
        std::function<void(const std::string&)> warn;
        // Opens an outside address in the user's default browser; may be empty.
        std::function<void(const std::string& url)> openExternally;
    };
    // The page and the script context (frame) the call came from: replies go to that context.
    using BindingHandler =
        std::function<void(const PageInfo& page, int contextId, const std::string& payload)>;
    using ConsoleHandler = std::function<void(const PageInfo& page, const std::string& text)>;

    // `api` may be null (the device library gave no object): the pages still work, requests
    // and the hardware steps of closing are skipped.
    BrowserClient(DevToolsChannel& channel, IKorvexAPI* api, HostOptions options,
                  std::string resourceDirectory, Hooks hooks);

    // Before start(): a script every page runs before its own, and a binding the page calls
    // with one string argument. With a world name, the script runs in an isolated world of
    // that name (it shares the page's document, not its script objects) and the binding is
    // seen by that world alone; the handler then gets the page's own context of the same
    // frame, where the replies belong.
    void addPageScript(std::string source, std::string world = {});
    void addBinding(std::string name, BindingHandler handler, std::string world = {});
    void setConsoleHandler(ConsoleHandler handler) { onConsole = std::move(handler); }

    // Asks the browser to attach every page and popup, paused before their first script.
    void start();

    // One protocol event (from DevToolsChannel).
    void handleEvent(const std::string& method, const Json& params, const std::string& session);

    // The browser's end of the pipe closed: the browser is gone.
    void browserGone();
    // Closes every popup, then the main page (the application's Exit, a termination signal).
    void closeEveryBrowser();
    // Runs the closing steps now, without waiting for the main page to go (a browser that no
    // longer answers).
    void closeNow(const std::string& reason);

    // Runs a script in the main page and in every repository window (device events).
    void runInListeningPages(const std::string& script);
    // Runs a script in one page (in the script context `contextId`, or the main frame's when
    // 0); the result is not awaited, but an exception it throws is logged as the page's own.
    void evaluate(const std::string& session, const std::string& script, int contextId = 0);
    // The same for a script given as a JSON string literal (quotes included), for scripts
    // large enough that building them as a JSON value would cost more than running them.
    void evaluateLiteral(const std::string& session, std::string_view scriptLiteral,
                         int contextId = 0);

    // A diagnostic line (nothing without a trace hook).
    void note(const std::string& line) const { trace(line); }

    const PageInfo* mainPage() const;
    std::vector<const PageInfo*> popups() const; // in creation order
    const PageInfo* pageBySession(const std::string& session) const;
    int browserCount() const { return static_cast<int>(pages.size()); }
    bool isClosing() const { return closing; }
    bool mainPageShown() const { return mainShown; }
    const HostOptions& hostOptions() const { return options; }
    IKorvexAPI* api() const { return deviceApi; }
    DevToolsChannel& protocol() { return channel; }

private:
    struct ScriptContext {
        std::string origin;
        std::string frameId;
        std::string name; // an isolated world's name; empty for the page's own
        bool isDefault = false;
    };
    struct PageScript {
        std::string source;
        std::string world;
    };
    struct Binding {
        BindingHandler handler;
        std::string world;
    };
    struct DocumentRequest {
        std::string frameId;
        std::string url;
    };

    void onAttached(const Json& params);
    void preparePage(const std::string& session);
    void onPrepared(const std::string& session);
    // The script that swaps the window's placeholder for the start-up address, and its run.
    std::string placeholderReplacement() const;
    void replacePlaceholder(const std::string& session);
    void onPageGone(const std::string& session);
    void onTargetInfoChanged(const Json& info);
    void onFrameNavigated(const std::string& session, const Json& frame);
    void onRequestPaused(const std::string& session, const Json& params);
    void onDocumentRequest(const std::string& session, const Json& params);
    void onLoadingFailed(const std::string& session, const Json& params);
    void onCrashed(const std::string& session);
    void onBindingCalled(const std::string& session, const Json& params);
    void onConsoleApiCalled(const std::string& session, const Json& params);
    void onExceptionThrown(const std::string& session, const Json& params);
    void onContextCreated(const std::string& session, const Json& context);
    void logEvaluationFailure(const std::string& session, const Json& result);
    void openOutside(const PageInfo& page, const std::string& url);
    void refreshWindowName(const std::string& session);
    void showErrorPage(const std::string& session, const std::string& frameId,
                       const std::string& html);
    void runClosingSteps(const std::string& reason, int exitCode = 0);
    PageInfo* findByTarget(const std::string& targetId, std::string* session = nullptr);
    std::string describe(const PageInfo& page) const;
    void trace(const std::string& line) const;
    void warn(const std::string& line) const;

    DevToolsChannel& channel;
    IKorvexAPI* deviceApi;
    HostOptions options;
    std::string resourceDirectory;
    Hooks hooks;
    std::vector<PageScript> pageScripts;
    std::map<std::string, Binding> bindings;
    ConsoleHandler onConsole;

    std::map<std::string, PageInfo> pages;  // by session
    std::vector<std::string> creationOrder; // sessions, oldest first
    std::string mainSession;                // empty before the main page and after it closed
    bool mainSeen = false;
    bool mainShown = false;
    bool closing = false;
    bool gone = false;
    // Per session: document loads in flight, and error pages waiting for the browser's own
    // error document to commit (or committed error documents waiting for their page).
    std::map<std::string, std::map<std::string, DocumentRequest>> documentRequests;
    std::map<std::string, std::map<std::string, std::string>> pendingErrorPages;
    std::map<std::string, std::map<std::string, bool>> committedErrorFrames;
    // Per session: the live script contexts by id.
    std::map<std::string, std::map<int, ScriptContext>> contexts;
};
