// The browser client against a fake browser end: every call the host sends is seen as a JSON
// message, and the test plays the browser's replies and events.
#include "host/shell/BrowserClient.h"
#include "host/shell/Base64.h"
#include "host/shell/LoadErrorPages.h"

#include "FakeKorvexAPI.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

class BrowserClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        writeFile(folder / "client" / "app.html", "<html>app</html>");
        writeFile(folder / "client" / "x.js", "var x = 1;");
        makeClient(HostOptions{});
        channel.setEventHandler(
            [this](const std::string& m, const Json& p, const std::string& s) { client->handleEvent(m, p, s); });
    }

    void makeClient(HostOptions options, bool withApi = true) {
        // The replaced client's calls are never answered: their callbacks point into it.
        client.reset();
        answered = sent.size();
        BrowserClient::Hooks hooks;
        hooks.finish = [this](int code) { log.push_back("finish(" + std::to_string(code) + ")"); };
        hooks.pause = [this](std::chrono::milliseconds d) {
            log.push_back("pause(" + std::to_string(d.count()) + ")");
        };
        hooks.warn = [this](const std::string& line) { log.push_back("warn: " + line); };
        hooks.openExternally = [this](const std::string& url) { log.push_back("open " + url); };
        client = std::make_unique<BrowserClient>(channel, withApi ? &api : nullptr, options, folder.string(), hooks);
    }

    // The browser's side.
    void event(const std::string& method, Json params, const std::string& session = {}) {
        Json m = {{"method", method}, {"params", std::move(params)}};
        if (!session.empty())
            m["sessionId"] = session;
        channel.receive(m.dump());
    }
    // Answers every call not answered yet; window.name gets the name given for its session.
    void replyAll() {
        // Calls made in reaction to these replies stay unanswered until the next round.
        size_t end = sent.size();
        for (size_t i = answered; i < end; ++i) {
            Json result = Json::object();
            const Json& call = sent[i];
            if (call["method"] == "Runtime.evaluate" && call["params"]["expression"] == "window.name") {
                std::string session = call.value("sessionId", "");
                result = {{"result", {{"type", "string"}, {"value", windowNames[session]}}}};
            }
            int64_t id = call["id"];
            channel.receive(Json{{"id", id}, {"result", result}}.dump());
        }
        answered = end;
    }
    std::string attach(const std::string& session, const std::string& targetId, const std::string& opener = {},
                       const std::string& type = "page", const std::string& url = "about:blank") {
        Json info = {{"targetId", targetId}, {"type", type}, {"url", url}, {"title", ""}};
        if (!opener.empty())
            info["openerId"] = opener;
        event("Target.attachedToTarget", {{"sessionId", session}, {"targetInfo", info}, {"waitingForDebugger", true}});
        return session;
    }
    std::vector<Json> sentTo(const std::string& session) const {
        std::vector<Json> out;
        for (const auto& m : sent)
            if (m.value("sessionId", "") == session)
                out.push_back(m);
        return out;
    }
    // The sessions of the messages sent from index `from` on, in order.
    std::vector<std::string> sessionsSince(size_t from) const {
        std::vector<std::string> out;
        for (size_t i = from; i < sent.size(); ++i)
            out.push_back(sent[i].value("sessionId", ""));
        return out;
    }
    std::vector<std::string> methodsTo(const std::string& session) const {
        std::vector<std::string> out;
        for (const auto& m : sentTo(session))
            out.push_back(m["method"]);
        return out;
    }
    size_t count(const std::string& method, const std::string& session = "*") const {
        size_t n = 0;
        for (const auto& m : sent)
            if (m["method"] == method && (session == "*" || m.value("sessionId", "") == session))
                ++n;
        return n;
    }
    // Main page attached, prepared and showing the application; a popup named as given,
    // showing `url`.
    void openMain() {
        attach("S-main", "T-main");
        replyAll();
        navigated("S-main", "T-main", "http://res/client/app.html");
    }
    void openPopup(const std::string& session, const std::string& target, const std::string& name,
                   const std::string& url = "http://res/client/repository.html") {
        windowNames[session] = name;
        attach(session, target, "T-main");
        replyAll();
        navigated(session, target, url);
    }
    void navigated(const std::string& session, const std::string& frame, const std::string& url) {
        event("Page.frameNavigated", {{"frame", {{"id", frame}, {"url", url}}}}, session);
    }
    // A script context; with a world name, an isolated world's.
    void context(const std::string& session, int id, const std::string& origin, const std::string& world = {},
                 const std::string& frame = "F") {
        event("Runtime.executionContextCreated",
              {{"context",
                {{"id", id},
                 {"origin", origin},
                 {"name", world},
                 {"auxData", {{"isDefault", world.empty()}, {"frameId", frame}}}}}},
              session);
    }
    void documentRequest(const std::string& session, const std::string& frame, const std::string& url) {
        event("Fetch.requestPaused",
              {{"requestId", "d1"}, {"frameId", frame}, {"resourceType", "Document"}, {"request", {{"url", url}}}},
              session);
    }

    std::vector<Json> sent;
    std::vector<std::string> log; // channel sends, API calls and hooks in one order
    size_t answered = 0;
    std::map<std::string, std::string> windowNames;
    DevToolsChannel channel{[this](const std::string& text) {
        Json m = Json::parse(text);
        log.push_back(m["method"].get<std::string>());
        sent.push_back(std::move(m));
        return true;
    }};
    FakeKorvexAPI api{[this](const std::string& call) { log.push_back(call); }};
    TempDir programFolder;
    std::filesystem::path folder = programFolder.path();
    std::unique_ptr<BrowserClient> client;
};

TEST_F(BrowserClientTest, MainPageIsPreparedBeforeItRunsAndThenShowsTheStartupAddress) {
    client->addBinding("bridgeSend", [](const PageInfo&, int, const std::string&) {});
    client->addPageScript("/* bridge */");
    attach("S1", "T1");
    auto methods = methodsTo("S1");
    ASSERT_FALSE(methods.empty());
    EXPECT_EQ(methods.front(), "Runtime.enable"); // a binding added before it would be lost
    auto pos = [&](const std::string& m) { return std::find(methods.begin(), methods.end(), m) - methods.begin(); };
    EXPECT_LT(pos("Runtime.enable"), pos("Runtime.addBinding"));
    EXPECT_LT(pos("Page.enable"), pos("Page.addScriptToEvaluateOnNewDocument"));
    // A document that starts while the steps arrive never has the binding without the script.
    EXPECT_LT(pos("Page.addScriptToEvaluateOnNewDocument"), pos("Runtime.addBinding"));
    // Key filter, bridge, and the start-up replacement.
    EXPECT_EQ(count("Page.addScriptToEvaluateOnNewDocument", "S1"), 3u);
    // The steps are ordered on the session: the page runs right after them, without waiting
    // for answers a paused popup could not give.
    EXPECT_EQ(count("Runtime.runIfWaitingForDebugger", "S1"), 1u);
    EXPECT_GT(pos("Runtime.runIfWaitingForDebugger"), pos("Inspector.enable"));
    EXPECT_GT(pos("Runtime.runIfWaitingForDebugger"), pos("Fetch.enable"));
    for (const auto& m : sentTo("S1"))
        if (m["method"] == "Fetch.enable") {
            EXPECT_EQ(m["params"]["patterns"][0]["urlPattern"], "http://res/*");
            EXPECT_EQ(m["params"]["patterns"][1]["resourceType"], "Document");
        }

    replyAll();
    EXPECT_EQ(count("Runtime.runIfWaitingForDebugger", "S1"), 1u);
    ASSERT_TRUE(client->mainPage());
    EXPECT_EQ(client->mainPage()->sessionId, "S1");
    EXPECT_TRUE(client->mainPageShown());
    const Json& last = sent[sent.size() - 1];
    EXPECT_EQ(last["method"], "Runtime.evaluate");
    // A window's placeholder may commit after the session runs: the replacement is also
    // registered for that document, and acts only on the placeholder.
    const std::string replacement =
        "if (location.protocol === 'data:') location.replace(\"http://res/client/app.html\")";
    EXPECT_EQ(last["params"]["expression"], replacement);
    EXPECT_EQ(count("Page.addScriptToEvaluateOnNewDocument", "S1"), 3u);
    bool registered = false;
    for (const auto& m : sentTo("S1"))
        if (m["method"] == "Page.addScriptToEvaluateOnNewDocument" && m["params"]["source"] == replacement)
            registered = true;
    EXPECT_TRUE(registered);
}

TEST_F(BrowserClientTest, UrlSwitchReplacesTheStartupAddressAndRefusedReplacementNavigates) {
    HostOptions options;
    options.startupAddress = "http://example.test/x";
    makeClient(options);
    attach("S1", "T1");
    EXPECT_EQ(sent.back()["params"]["expression"],
              "if (location.protocol === 'data:') location.replace(\"http://example.test/x\")");
    // The page refused the replacement: the host navigates instead.
    channel.receive(Json{{"id", sent.back()["id"]}, {"error", {{"message", "no"}}}}.dump());
    EXPECT_EQ(sent.back()["method"], "Page.navigate");
    EXPECT_EQ(sent.back()["params"]["url"], "http://example.test/x");
}

TEST_F(BrowserClientTest, TargetsThatAreNotPagesAreResumedAndNotCounted) {
    attach("W1", "TW", "", "service_worker");
    EXPECT_EQ(methodsTo("W1"), std::vector<std::string>{"Runtime.runIfWaitingForDebugger"});
    EXPECT_EQ(client->browserCount(), 0);
    EXPECT_EQ(client->mainPage(), nullptr);
}

TEST_F(BrowserClientTest, PopupsAreKeptInCreationOrderAndNamedRepositoryWindowsRecognised) {
    openMain();
    openPopup("S-a", "T-a", "");
    openPopup("S-b", "T-b", "Korvex Repository");
    openPopup("S-c", "T-c", "korvex repository"); // the name is case-sensitive
    auto list = client->popups();
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0]->sessionId, "S-a");
    EXPECT_EQ(list[1]->sessionId, "S-b");
    EXPECT_EQ(list[2]->sessionId, "S-c");
    EXPECT_FALSE(list[0]->isRepository());
    EXPECT_TRUE(list[1]->isRepository());
    EXPECT_FALSE(list[2]->isRepository());
    EXPECT_EQ(client->browserCount(), 4);
    // A popup does not navigate anywhere by itself: it goes where window.open sent it.
    EXPECT_EQ(count("Runtime.runIfWaitingForDebugger", "S-a"), 1u);
    EXPECT_EQ(count("Page.navigate", "S-a"), 0u);
}

TEST_F(BrowserClientTest, ClosingARepositoryWindowTellsTheMainPageClosingOtherPopupsDoesNot) {
    openMain();
    openPopup("S-a", "T-a", "");
    openPopup("S-r", "T-r", "Korvex Repository");
    size_t before = sent.size();
    event("Target.targetDestroyed", {{"targetId", "T-a"}});
    EXPECT_EQ(sent.size(), before);
    event("Target.detachedFromTarget", {{"sessionId", "S-r"}, {"targetId", "T-r"}});
    ASSERT_EQ(sent.size(), before + 1);
    EXPECT_EQ(sent.back()["sessionId"], "S-main");
    EXPECT_EQ(sent.back()["params"]["expression"], kRepositoryClosedScript);
    EXPECT_TRUE(client->popups().empty());
    EXPECT_FALSE(client->isClosing());
    // The destroyed event that follows a detach changes nothing.
    event("Target.targetDestroyed", {{"targetId", "T-r"}});
    EXPECT_EQ(sent.size(), before + 1);
}

TEST_F(BrowserClientTest, MainPageClosingClosesPopupsStopsTheKitWaitsThenClosesTheBrowser) {
    openMain();
    openPopup("S-r", "T-r", "Korvex Repository");
    openPopup("S-a", "T-a", "");
    log.clear();
    event("Target.targetDestroyed", {{"targetId", "T-main"}});
    std::vector<std::string> expected = {"Target.closeTarget", "Target.closeTarget", "stopDataAcquisition",
                                         "remotePowerDown(1)", "remotePowerDown(2)", "pause(100)",
                                         "Browser.close",      "finish(0)"};
    EXPECT_EQ(log, expected);
    EXPECT_TRUE(client->isClosing());
    EXPECT_EQ(client->mainPage(), nullptr);
    // The popups then go; with the main page gone, no repository-closed script is sent.
    log.clear();
    event("Target.targetDestroyed", {{"targetId", "T-r"}});
    event("Target.targetDestroyed", {{"targetId", "T-a"}});
    event("Target.targetDestroyed", {{"targetId", "T-main"}});
    EXPECT_TRUE(log.empty());
}

TEST_F(BrowserClientTest, BrowserThatEndsOnItsOwnStillStopsTheKitButIsNotTalkedTo) {
    openMain();
    openPopup("S-a", "T-a", "");
    log.clear();
    client->browserGone();
    std::vector<std::string> expected = {"stopDataAcquisition", "remotePowerDown(1)", "remotePowerDown(2)",
                                         "pause(100)", "finish(3)"};
    EXPECT_EQ(log, expected) << "a browser that ended by itself is not a normal close";
    client->browserGone();
    client->closeNow("again");
    EXPECT_EQ(log, expected) << "the closing steps run once";
}

TEST_F(BrowserClientTest, WithoutADeviceLibraryObjectClosingStillFinishes) {
    makeClient(HostOptions{}, /*withApi=*/false);
    openMain();
    log.clear();
    event("Target.targetDestroyed", {{"targetId", "T-main"}});
    EXPECT_EQ(log, (std::vector<std::string>{"pause(100)", "Browser.close", "finish(0)"}));
}

TEST_F(BrowserClientTest, ExitClosesPopupsThenTheMainPage) {
    openMain();
    openPopup("S-a", "T-a", "");
    log.clear();
    size_t before = sent.size();
    client->closeEveryBrowser();
    ASSERT_EQ(sent.size(), before + 2);
    EXPECT_EQ(sent[before]["params"]["targetId"], "T-a");
    EXPECT_EQ(sent[before + 1]["params"]["targetId"], "T-main");
    EXPECT_FALSE(client->isClosing()) << "the steps run when the main page has really gone";
}

TEST_F(BrowserClientTest, APageOpenedWhileClosingIsClosedAtOnce) {
    openMain();
    client->browserGone();
    attach("S-late", "T-late", "T-main");
    EXPECT_EQ(sent.back()["method"], "Target.closeTarget");
    EXPECT_EQ(sent.back()["params"]["targetId"], "T-late");
}

TEST_F(BrowserClientTest, CrashedPageReloadsTheStartupAddressUnlessAlreadyThere) {
    openMain();
    event("Page.frameNavigated", {{"frame", {{"id", "T-main"}, {"url", "http://elsewhere.test/"}}}}, "S-main");
    event("Inspector.targetCrashed", Json::object(), "S-main");
    EXPECT_EQ(sent.back()["method"], "Page.navigate");
    EXPECT_EQ(sent.back()["params"]["url"], "http://res/client/app.html");
    EXPECT_EQ(sent.back()["sessionId"], "S-main");

    // Under the start-up address (compared in lower case): left as it is.
    event("Page.frameNavigated", {{"frame", {{"id", "T-main"}, {"url", "HTTP://RES/client/app.html?x=1"}}}}, "S-main");
    size_t before = sent.size();
    event("Inspector.targetCrashed", Json::object(), "S-main");
    for (size_t i = before; i < sent.size(); ++i)
        EXPECT_NE(sent[i]["method"], "Page.navigate");
}

TEST_F(BrowserClientTest, ResourceRequestsAreAnsweredFromTheProgramFolder) {
    openMain();
    event("Fetch.requestPaused", {{"requestId", "r1"}, {"request", {{"url", "http://res/client/x.js?v=1"}}}}, "S-main");
    const Json& ok = sent.back();
    EXPECT_EQ(ok["method"], "Fetch.fulfillRequest");
    EXPECT_EQ(ok["sessionId"], "S-main");
    EXPECT_EQ(ok["params"]["requestId"], "r1");
    EXPECT_EQ(ok["params"]["responseCode"], 200);
    EXPECT_EQ(ok["params"]["responseHeaders"][0]["value"], "application/javascript");
    EXPECT_EQ(DecodeBase64(ok["params"]["body"].get<std::string>()), "var x = 1;");

    for (const char* url :
         {"http://res/client/missing.html", "http://res/client/../client/x.js", "http://res/client/x.JS"}) {
        event("Fetch.requestPaused", {{"requestId", "r2"}, {"request", {{"url", url}}}}, "S-main");
        EXPECT_EQ(sent.back()["method"], "Fetch.failRequest") << url;
        EXPECT_EQ(sent.back()["params"]["errorReason"], "Failed") << url;
    }
}

TEST_F(BrowserClientTest, FailedDocumentLoadIsReplacedByTheErrorPageWhateverTheEventOrder) {
    openMain();
    auto request = [&](const std::string& id, const std::string& frame, const std::string& url) {
        event("Network.requestWillBeSent",
              {{"requestId", id}, {"frameId", frame}, {"type", "Document"}, {"request", {{"url", url}}}}, "S-main");
    };
    auto failed = [&](const std::string& id, const std::string& text) {
        event("Network.loadingFailed", {{"requestId", id}, {"type", "Document"}, {"errorText", text}}, "S-main");
    };
    auto errorCommitted = [&](const std::string& frame, const std::string& url) {
        event("Page.frameNavigated",
              {{"frame",
                {{"id", frame},
                 {"parentId", "T-main"},
                 {"url", "chrome-error://chromewebdata/"},
                 {"unreachableUrl", url}}}},
              "S-main");
    };

    // Failure reported first, the browser's error document second.
    request("L1", "F1", "http://res/client/missing.html");
    failed("L1", "net::ERR_FAILED");
    EXPECT_EQ(count("Page.setDocumentContent"), 0u);
    errorCommitted("F1", "http://res/client/missing.html");
    ASSERT_EQ(sent.back()["method"], "Page.setDocumentContent");
    EXPECT_EQ(sent.back()["params"]["frameId"], "F1");
    EXPECT_EQ(sent.back()["params"]["html"],
              "<html><body><h2>Failed to load URL http://res/client/missing.html with error "
              "net::ERR_FAILED (-2).</h2></body></html>");

    // The other order, and a refused connection: the repository page.
    request("L2", "F2", "http://127.0.0.1:9/");
    errorCommitted("F2", "http://127.0.0.1:9/");
    failed("L2", "net::ERR_CONNECTION_REFUSED");
    ASSERT_EQ(sent.back()["method"], "Page.setDocumentContent");
    EXPECT_EQ(sent.back()["params"]["frameId"], "F2");
    EXPECT_NE(sent.back()["params"]["html"].get<std::string>().find("The connection to the repository failed !"),
              std::string::npos);

    // An aborted load, and a failed sub-resource, are left alone.
    size_t pages = count("Page.setDocumentContent");
    request("L3", "F3", "http://res/client/app.html");
    failed("L3", "net::ERR_ABORTED");
    errorCommitted("F3", "http://res/client/app.html");
    event("Network.loadingFailed", {{"requestId", "X"}, {"type", "Script"}, {"errorText", "net::ERR_FAILED"}},
          "S-main");
    EXPECT_EQ(count("Page.setDocumentContent"), pages);
}

TEST_F(BrowserClientTest, DeviceScriptsRunInTheMainPageAndRepositoryWindowsOnly) {
    client->runInListeningPages("early()");
    EXPECT_EQ(count("Runtime.evaluate"), 0u) << "dropped before the main page exists";
    openMain();
    openPopup("S-r1", "T-r1", "Korvex Repository");
    openPopup("S-d", "T-d", "");
    openPopup("S-r2", "T-r2", "Korvex Repository");
    size_t before = sent.size();
    client->runInListeningPages("KorvexEventHandler.sendEvent({ name: 'x' })");
    EXPECT_EQ(sessionsSince(before), (std::vector<std::string>{"S-main", "S-r1", "S-r2"}));

    // A window named like a repository window but showing an outside page hears nothing.
    openPopup("S-x", "T-x", "Korvex Repository", "https://example.org/");
    before = sent.size();
    client->runInListeningPages("again()");
    EXPECT_EQ(sessionsSince(before), (std::vector<std::string>{"S-main", "S-r1", "S-r2"}));

    // With the main page gone, open repository windows still hear events.
    client->browserGone();
    event("Target.targetDestroyed", {{"targetId", "T-main"}});
    before = sent.size();
    client->runInListeningPages("later()");
    EXPECT_EQ(sessionsSince(before), (std::vector<std::string>{"S-r1", "S-r2"}));
}

TEST_F(BrowserClientTest, BindingCallsFromTheApplicationsOwnDocumentsOnlyReachTheirHandler) {
    std::vector<std::string> payloads;
    client->addBinding("bridgeSend", [&](const PageInfo& page, int contextId, const std::string& payload) {
        payloads.push_back(page.sessionId + "/" + std::to_string(contextId) + ":" + payload);
    });
    openMain();
    openPopup("S-p", "T-p", "", "https://example.org/");
    context("S-main", 1, "http://res");
    context("S-main", 2, "https://example.org"); // an outside frame inside the application
    context("S-p", 7, "https://example.org");
    auto call = [&](const std::string& session, int contextId, const Json& payload, const char* name = "bridgeSend") {
        event("Runtime.bindingCalled", {{"name", name}, {"payload", payload}, {"executionContextId", contextId}},
              session);
    };
    call("S-main", 1, "[1]");
    call("S-main", 1, "x", "other");
    call("S-main", 1, 5);
    call("S-unknown", 1, "y");
    call("S-main", 2, "outside frame");
    call("S-p", 7, "outside popup");
    call("S-main", 9, "unknown context");
    event("Runtime.executionContextDestroyed", {{"executionContextId", 1}}, "S-main");
    call("S-main", 1, "after its document went");
    EXPECT_EQ(payloads, std::vector<std::string>{"S-main/1:[1]"});
    size_t warnings =
        std::count_if(log.begin(), log.end(), [](const std::string& l) { return l.rfind("warn: ", 0) == 0; });
    EXPECT_EQ(warnings, 4u);
}

TEST_F(BrowserClientTest, ApplicationWindowsHandOutsideAddressesToTheUsersBrowser) {
    openMain();
    openPopup("S-r", "T-r", "Korvex Repository");
    openPopup("S-p", "T-p", "");
    log.clear();
    auto answer = [&] {
        return sent.back()["method"].get<std::string>() + " " + sent.back()["params"].value("errorReason", "");
    };

    documentRequest("S-main", "T-main", "https://example.org/a");
    EXPECT_EQ(answer(), "Fetch.failRequest Aborted");
    documentRequest("S-r", "T-r", "http://127.0.0.1:8000/");
    EXPECT_EQ(answer(), "Fetch.failRequest Aborted");
    documentRequest("S-main", "T-main", "file:///etc/passwd");
    EXPECT_EQ(answer(), "Fetch.failRequest Aborted");
    std::erase_if(log, [](const std::string& l) { return l.rfind("Fetch.", 0) == 0; });
    EXPECT_EQ(log, (std::vector<std::string>{"open https://example.org/a", "open http://127.0.0.1:8000/",
                                             "warn: an application window was kept from opening file:///etc/passwd"}));
    // A frame inside the application, and an ordinary popup, load where they are sent.
    log.clear();
    documentRequest("S-main", "F-child", "https://example.org/frame");
    EXPECT_EQ(answer(), "Fetch.continueRequest ");
    documentRequest("S-p", "T-p", "https://example.org/b");
    EXPECT_EQ(answer(), "Fetch.continueRequest ");
    EXPECT_EQ(log, (std::vector<std::string>{"Fetch.continueRequest", "Fetch.continueRequest"}));

    // The start-up address chosen on the command line is the application's, wherever it is.
    HostOptions options;
    options.startupAddress = "http://example.test/x";
    makeClient(options);
    openMain();
    documentRequest("S-main", "T-main", "http://example.test/x");
    EXPECT_EQ(answer(), "Fetch.continueRequest ");
}

TEST_F(BrowserClientTest, ConsoleAndExceptionsIncludingThoseOfHostScriptsAreLoggedWhole) {
    std::vector<std::string> lines;
    client->setConsoleHandler([&](const PageInfo&, const std::string& text) { lines.push_back(text); });
    openMain();
    Json object = {{"type", "object"},
                   {"description", "Object"},
                   {"preview",
                    {{"type", "object"},
                     {"overflow", false},
                     {"properties",
                      {{{"name", "a"}, {"type", "number"}, {"value", "1"}},
                       {{"name", "b"}, {"type", "string"}, {"value", "x"}}}}}}};
    Json array = {{"type", "object"},
                  {"subtype", "array"},
                  {"description", "Array(2)"},
                  {"preview",
                   {{"subtype", "array"},
                    {"overflow", true},
                    {"properties", {{{"name", "0"}, {"type", "number"}, {"value", "1"}}}}}}};
    event("Runtime.consoleAPICalled",
          {{"type", "log"},
           {"args",
            {{{"type", "string"}, {"value", "got"}},
             object,
             array,
             {{"type", "undefined"}},
             {{"type", "number"}, {"unserializableValue", "NaN"}}}}},
          "S-main");
    Json error = {
        {"text", "Uncaught"},
        {"exception",
         {{"type", "object"}, {"subtype", "error"}, {"description", "Error: two\nlines\n    at f (app.js:1:1)"}}}};
    event("Runtime.exceptionThrown", {{"exceptionDetails", error}}, "S-main");
    // An event script that throws: the evaluation's answer carries the exception.
    client->runInListeningPages("KorvexEventHandler.sendEvent({})");
    channel.receive(
        Json{{"id", sent.back()["id"]},
             {"result",
              {{"result", {{"type", "object"}}},
               {"exceptionDetails",
                {{"text", "Uncaught"},
                 {"exception", {{"type", "object"}, {"subtype", "error"}, {"description", "TypeError: no\nmore"}}}}}}}}
            .dump());
    EXPECT_EQ(lines, (std::vector<std::string>{"got {a: 1, b: \"x\"} [1, …] undefined NaN",
                                               "Uncaught Error: two\nlines\n    at f (app.js:1:1)",
                                               "Uncaught TypeError: no\nmore"}));
}

} // namespace

TEST_F(BrowserClientTest, HeadlessPlaceholderThatCommitsLateIsReplacedAgain) {
    HostOptions options;
    options.headless = true;
    makeClient(options);
    attach("S1", "T1");
    const std::string replacement =
        "if (location.href === 'about:blank') location.replace(\"http://res/client/app.html\")";
    EXPECT_EQ(sent.back()["params"]["expression"], replacement);
    replyAll();
    // The browser dropped the first replacement while its own navigation to the placeholder
    // was on the way; the commit of the placeholder brings a second one.
    size_t before = count("Runtime.evaluate", "S1");
    navigated("S1", "T1", "about:blank");
    EXPECT_EQ(count("Runtime.evaluate", "S1"), before + 1);
    EXPECT_EQ(sent.back()["params"]["expression"], replacement);
    navigated("S1", "T1", "http://res/client/app.html");
    EXPECT_EQ(count("Runtime.evaluate", "S1"), before + 1);
}

TEST_F(BrowserClientTest, ABindingKeptToItsWorldIsCalledFromThatWorldAndAnswersInThePagesContext) {
    std::vector<std::string> payloads;
    client->addPageScript("/* world */", "bridge world");
    client->addBinding(
        "bridgeSend",
        [&](const PageInfo&, int contextId, const std::string& payload) {
            payloads.push_back(std::to_string(contextId) + ":" + payload);
        },
        "bridge world");
    openMain();
    for (const auto& m : sentTo("S-main")) {
        if (m["method"] == "Runtime.addBinding")
            EXPECT_EQ(m["params"]["executionContextName"], "bridge world");
        if (m["method"] == "Page.addScriptToEvaluateOnNewDocument" && m["params"]["source"] == "/* world */")
            EXPECT_EQ(m["params"]["worldName"], "bridge world");
    }
    context("S-main", 1, "http://res");
    context("S-main", 2, "http://res", "bridge world");
    context("S-main", 3, "http://res", "", "G"); // a frame of the application
    context("S-main", 4, "http://res", "bridge world", "G");
    context("S-main", 5, "http://res", "other world");
    context("S-main", 6, "http://res", "bridge world", "lone"); // its page context is not known
    for (int id : {2, 4, 1, 5, 6})
        event("Runtime.bindingCalled",
              {{"name", "bridgeSend"}, {"payload", "p" + std::to_string(id)}, {"executionContextId", id}}, "S-main");
    EXPECT_EQ(payloads, (std::vector<std::string>{"1:p2", "3:p4"}));
}
