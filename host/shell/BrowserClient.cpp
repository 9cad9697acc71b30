#include "host/shell/BrowserClient.h"

#include "host/resources/ResourcePath.h"
#include "host/shell/Base64.h"
#include "host/shell/LoadErrorPages.h"

#include <algorithm>
#include <cctype>
#include <memory>

namespace {

// The space key scrolls or presses buttons in a browser; in the application it must do
// nothing outside text fields. The listener is the first one on the window, in the capture
// phase, so no listener of the page sees the key.
constexpr const char* kKeyFilterScript = R"JS((function () {
  if (window.__korvexKeyFilter) return;
  Object.defineProperty(window, '__korvexKeyFilter', { value: true });
  var textInputs = { text: 1, search: 1, url: 1, tel: 1, email: 1, password: 1, number: 1,
                     date: 1, 'datetime-local': 1, month: 1, time: 1, week: 1 };
  function editable(node) {
    while (node && node.shadowRoot && node.shadowRoot.activeElement)
      node = node.shadowRoot.activeElement;
    if (!node) return false;
    if (node.isContentEditable) return true;
    var tag = node.nodeName;
    if (tag === 'TEXTAREA') return !node.readOnly && !node.disabled;
    if (tag === 'INPUT') {
      var type = (node.getAttribute('type') || 'text').toLowerCase();
      return !!textInputs[type] && !node.readOnly && !node.disabled;
    }
    return false;
  }
  function filter(e) {
    if ((e.key === ' ' || e.keyCode === 32) && !editable(document.activeElement)) {
      e.preventDefault();
      e.stopImmediatePropagation();
    }
  }
  ['keydown', 'keypress', 'keyup'].forEach(function (t) { window.addEventListener(t, filter, true); });
})();)JS";

constexpr const char* kFixedCursorScript = R"JS((function () {
  function add() {
    var s = document.createElement('style');
    s.textContent = '*, *::before, *::after { cursor: default !important; }';
    (document.head || document.documentElement).appendChild(s);
  }
  if (document.readyState === 'loading') document.addEventListener('DOMContentLoaded', add);
  else add();
})();)JS";

std::string lowerCase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::string stringField(const Json& object, const char* key) {
    auto it = object.find(key);
    if (it == object.end() || !it->is_string())
        return {};
    return it->get<std::string>();
}

bool isDevToolsAddress(const std::string& url) { return url.rfind("devtools://", 0) == 0; }

// The text of one value as the console shows it: strings as they are, objects by their
// preview ({a: 1, b: "x"}, [1, 2]), errors by their whole description.
std::string previewText(const Json& preview) {
    bool array = stringField(preview, "subtype") == "array";
    std::string text = array ? "[" : "{";
    bool first = true;
    auto properties = preview.find("properties");
    if (properties != preview.end() && properties->is_array()) {
        for (const auto& property : *properties) {
            if (!first)
                text += ", ";
            first = false;
            if (!array)
                text += stringField(property, "name") + ": ";
            std::string value = stringField(property, "value");
            text += stringField(property, "type") == "string"
                        ? Json(value).dump(-1, ' ', false, Json::error_handler_t::replace)
                        : value;
        }
    }
    if (preview.value("overflow", false))
        text += first ? "…" : ", …";
    return text + (array ? "]" : "}");
}

std::string remoteObjectText(const Json& object) {
    auto value = object.find("value");
    if (value != object.end())
        return value->is_string() ? value->get<std::string>()
                                  : value->dump(-1, ' ', false, Json::error_handler_t::replace);
    std::string unserializable = stringField(object, "unserializableValue");
    if (!unserializable.empty())
        return unserializable;
    std::string type = stringField(object, "type");
    if (type == "undefined")
        return "undefined";
    if (type == "object" && stringField(object, "subtype") != "error" && object.contains("preview"))
        return previewText(object["preview"]);
    std::string description = stringField(object, "description");
    return description.empty() ? type : description;
}

// An exception as the console shows it: "Uncaught" and the error's whole text.
std::string exceptionText(const Json& details) {
    std::string text = stringField(details, "text");
    if (details.contains("exception")) {
        std::string description = remoteObjectText(details["exception"]);
        if (!description.empty() && description != text)
            text += (text.empty() ? "" : " ") + description;
    }
    return text;
}

} // namespace

bool IsApplicationAddress(const std::string& url) {
    const std::string prefix = std::string(kApplicationOrigin) + "/";
    return url.size() >= prefix.size() && lowerCase(url.substr(0, prefix.size())) == prefix;
}

BrowserClient::BrowserClient(DevToolsChannel& channel, IKorvexAPI* api, HostOptions options,
                             std::string resourceDirectory, Hooks hooks)
    : channel(channel), deviceApi(api), options(std::move(options)),
      resourceDirectory(std::move(resourceDirectory)), hooks(std::move(hooks)) {
    pageScripts.push_back({kKeyFilterScript, {}});
    if (this->options.cursorChangeDisabled)
        pageScripts.push_back({kFixedCursorScript, {}});
}

void BrowserClient::addPageScript(std::string source, std::string world) {
    pageScripts.push_back({std::move(source), std::move(world)});
}

void BrowserClient::addBinding(std::string name, BindingHandler handler, std::string world) {
    bindings[std::move(name)] = {std::move(handler), std::move(world)};
}

void BrowserClient::trace(const std::string& line) const {
    if (hooks.trace)
        hooks.trace(line);
}

void BrowserClient::warn(const std::string& line) const {
    if (hooks.warn)
        hooks.warn(line);
    else
        trace(line);
}

std::string BrowserClient::describe(const PageInfo& page) const {
    switch (page.kind) {
    case PageInfo::Kind::Main: return "main";
    case PageInfo::Kind::Popup: return page.isRepository() ? "repository" : "popup";
    case PageInfo::Kind::Other: return "other";
    }
    return "page";
}

void BrowserClient::start() {
    channel.call("Target.setDiscoverTargets", {{"discover", true}});
    channel.call("Target.setAutoAttach",
                 {{"autoAttach", true}, {"waitForDebuggerOnStart", true}, {"flatten", true}});
}

void BrowserClient::handleEvent(const std::string& method, const Json& params,
                                const std::string& session) {
    if (method == "Target.attachedToTarget")
        onAttached(params);
    else if (method == "Target.detachedFromTarget")
        onPageGone(stringField(params, "sessionId"));
    else if (method == "Target.targetDestroyed") {
        std::string s;
        if (findByTarget(stringField(params, "targetId"), &s))
            onPageGone(s);
    } else if (method == "Target.targetInfoChanged") {
        if (params.contains("targetInfo"))
            onTargetInfoChanged(params["targetInfo"]);
    } else if (method == "Fetch.requestPaused")
        onRequestPaused(session, params);
    else if (method == "Network.requestWillBeSent")
        onDocumentRequest(session, params);
    else if (method == "Network.loadingFailed")
        onLoadingFailed(session, params);
    else if (method == "Network.loadingFinished") {
        auto it = documentRequests.find(session);
        if (it != documentRequests.end())
            it->second.erase(stringField(params, "requestId"));
    } else if (method == "Page.frameNavigated") {
        if (params.contains("frame"))
            onFrameNavigated(session, params["frame"]);
    } else if (method == "Inspector.targetCrashed")
        onCrashed(session);
    else if (method == "Runtime.bindingCalled")
        onBindingCalled(session, params);
    else if (method == "Runtime.consoleAPICalled")
        onConsoleApiCalled(session, params);
    else if (method == "Runtime.exceptionThrown")
        onExceptionThrown(session, params);
    else if (method == "Runtime.executionContextCreated") {
        if (params.contains("context"))
            onContextCreated(session, params["context"]);
    } else if (method == "Runtime.executionContextDestroyed") {
        auto it = contexts.find(session);
        if (it != contexts.end())
            it->second.erase(params.value("executionContextId", 0));
    } else if (method == "Runtime.executionContextsCleared") {
        contexts.erase(session);
    }
}

void BrowserClient::onContextCreated(const std::string& session, const Json& context) {
    if (!pages.count(session) || !context.contains("id") || !context["id"].is_number_integer())
        return;
    ScriptContext entry;
    entry.origin = stringField(context, "origin");
    entry.name = stringField(context, "name");
    if (context.contains("auxData")) {
        const Json& aux = context["auxData"];
        entry.frameId = stringField(aux, "frameId");
        entry.isDefault = aux.value("isDefault", false);
    }
    contexts[session][context["id"].get<int>()] = std::move(entry);
}

// A new target, paused before its first script when it is a new page or popup.
void BrowserClient::onAttached(const Json& params) {
    std::string session = stringField(params, "sessionId");
    const Json& info = params.contains("targetInfo") ? params["targetInfo"] : Json::object();
    if (session.empty())
        return;
    if (stringField(info, "type") != "page") {
        // Workers, browser panels: not ours, but they must not stay paused.
        channel.call("Runtime.runIfWaitingForDebugger", Json::object(), session);
        return;
    }
    PageInfo page;
    page.sessionId = session;
    page.targetId = stringField(info, "targetId");
    page.openerId = stringField(info, "openerId");
    page.url = stringField(info, "url");
    page.title = stringField(info, "title");
    if (!mainSeen && page.openerId.empty() && !isDevToolsAddress(page.url)) {
        page.kind = PageInfo::Kind::Main;
        mainSeen = true;
        mainSession = session;
    } else if (!page.openerId.empty()) {
        page.kind = PageInfo::Kind::Popup;
    }
    pages[session] = page;
    creationOrder.push_back(session);
    trace("page " + describe(page) + " attached" + (page.url.empty() ? "" : " " + page.url));

    if (closing) {
        // The host is going away: a page that opens now is closed at once.
        channel.call("Runtime.runIfWaitingForDebugger", Json::object(), session);
        channel.call("Target.closeTarget", {{"targetId", page.targetId}});
        return;
    }
    if (isDevToolsAddress(page.url)) {
        pages[session].ready = true;
        channel.call("Runtime.runIfWaitingForDebugger", Json::object(), session);
        return;
    }
    preparePage(session);
}

// Everything a page needs before its first script. The runtime comes first: a binding added
// before it is lost in a paused popup. The steps are ordered on the page's session, so the
// page is resumed right after them without waiting for their answers: a popup opened without
// an opener has no renderer to answer anything until it runs.
void BrowserClient::preparePage(const std::string& session) {
    struct Step {
        std::string method;
        Json params;
    };
    std::vector<Step> steps;
    steps.push_back({"Runtime.enable", Json::object()});
    // The scripts before the bindings. A popup's document may start while the steps are
    // still arriving (a popup with an opener is moved to another renderer when it navigates
    // elsewhere): a binding added then reaches that document at once, a script only the next
    // one. So a binding the page must never see is kept to a world of its own.
    steps.push_back({"Page.enable", Json::object()});
    for (const auto& script : pageScripts) {
        Json params = {{"source", script.source}};
        if (!script.world.empty())
            params["worldName"] = script.world;
        steps.push_back({"Page.addScriptToEvaluateOnNewDocument", std::move(params)});
    }
    for (const auto& [name, binding] : bindings) {
        Json params = {{"name", name}};
        if (!binding.world.empty())
            params["executionContextName"] = binding.world;
        steps.push_back({"Runtime.addBinding", std::move(params)});
    }
    steps.push_back({"Network.enable", Json::object()});
    // The application's resources, and every document load, so that an application window
    // can be kept from leaving the application.
    steps.push_back({"Fetch.enable",
                     {{"patterns", Json::array({{{"urlPattern", std::string(kResourcePrefix) + "*"},
                                                 {"requestStage", "Request"}},
                                                {{"urlPattern", "*"},
                                                 {"resourceType", "Document"},
                                                 {"requestStage", "Request"}}})}}});
    steps.push_back({"Inspector.enable", Json::object()});

    for (auto& step : steps) {
        std::string method = step.method;
        channel.call(step.method, std::move(step.params), session,
                     [this, method](const Json&, const Json* error) {
                         if (error)
                             trace("setup step " + method + " refused: " + error->dump());
                     });
    }
    // The window name decides whether a popup is a repository window.
    channel.call(
        "Runtime.evaluate", {{"expression", "window.name"}, {"returnByValue", true}}, session,
        [this, session](const Json& result, const Json* error) {
            auto it = pages.find(session);
            if (!error && it != pages.end()) {
                const Json& value = result.contains("result") ? result["result"] : Json::object();
                it->second.name = stringField(value, "value");
                if (!it->second.name.empty())
                    trace("page " + describe(it->second) + " named \"" + it->second.name + "\"");
            }
        });
    onPrepared(session);
}

void BrowserClient::onPrepared(const std::string& session) {
    auto it = pages.find(session);
    if (it == pages.end())
        return; // closed while being prepared
    it->second.ready = true;
    // The start-up address replaces the placeholder in the window's history, so that the
    // history holds one entry and the application's own Exit (window.close) may close it.
    // A window opens on an empty document and commits its placeholder a moment later; the
    // replacement acts only on the placeholder, either now or, if it has not committed yet,
    // as soon as it does.
    const bool openMain = session == mainSession && !closing;
    if (openMain && !options.headless)
        channel.call("Page.addScriptToEvaluateOnNewDocument",
                     {{"source", placeholderReplacement()}}, session);
    channel.call("Runtime.runIfWaitingForDebugger", Json::object(), session);
    if (openMain) {
        replacePlaceholder(session);
        mainShown = true;
        trace("page main shows " + options.startupAddress);
    }
}

std::string BrowserClient::placeholderReplacement() const {
    return std::string(options.headless ? "if (location.href === 'about:blank')"
                                        : "if (location.protocol === 'data:')") +
           " location.replace(" + Json(options.startupAddress).dump() + ")";
}

void BrowserClient::replacePlaceholder(const std::string& session) {
    channel.call("Runtime.evaluate", {{"expression", placeholderReplacement()}}, session,
                 [this, session](const Json& result, const Json* error) {
                     if (!error && !result.contains("exceptionDetails"))
                         return;
                     trace("start-up address by replacement refused; navigating");
                     channel.call("Page.navigate", {{"url", options.startupAddress}}, session);
                 });
}

PageInfo* BrowserClient::findByTarget(const std::string& targetId, std::string* session) {
    if (targetId.empty())
        return nullptr;
    for (auto& [s, page] : pages) {
        if (page.targetId == targetId) {
            if (session)
                *session = s;
            return &page;
        }
    }
    return nullptr;
}

void BrowserClient::onTargetInfoChanged(const Json& info) {
    PageInfo* page = findByTarget(stringField(info, "targetId"));
    if (!page)
        return;
    std::string title = stringField(info, "title");
    if (title != page->title) {
        page->title = title;
        // The browser keeps each window's title in step with its page itself.
        trace("page " + describe(*page) + " title \"" + title + "\"");
    }
}

void BrowserClient::onFrameNavigated(const std::string& session, const Json& frame) {
    auto pageIt = pages.find(session);
    if (pageIt == pages.end())
        return;
    PageInfo& page = pageIt->second;
    std::string frameId = stringField(frame, "id");
    std::string url = stringField(frame, "url");
    std::string unreachable = stringField(frame, "unreachableUrl");
    bool mainFrame = !frame.contains("parentId");
    if (mainFrame) {
        page.url = unreachable.empty() ? url : unreachable;
        trace("page " + describe(page) + " at " + page.url);
        if (page.kind == PageInfo::Kind::Popup)
            refreshWindowName(session);
        // Without a window, the placeholder is the browser's own first navigation. A
        // replacement asked for while that navigation is still on its way is dropped by the
        // browser, and the window would stay blank: it is asked for again once the
        // placeholder has committed.
        if (options.headless && session == mainSession && mainShown && !closing &&
            url == "about:blank") {
            trace("page main committed its placeholder late; replacing it now");
            replacePlaceholder(session);
        }
    }
    if (url.rfind("chrome-error://", 0) == 0) {
        // The browser's own error document has committed: it can be replaced now.
        auto& pending = pendingErrorPages[session];
        auto it = pending.find(frameId);
        if (it != pending.end()) {
            std::string html = std::move(it->second);
            pending.erase(it);
            showErrorPage(session, frameId, html);
        } else {
            committedErrorFrames[session][frameId] = true;
        }
    } else {
        committedErrorFrames[session].erase(frameId);
    }
}

void BrowserClient::refreshWindowName(const std::string& session) {
    channel.call("Runtime.evaluate", {{"expression", "window.name"}, {"returnByValue", true}},
                 session, [this, session](const Json& result, const Json* error) {
                     auto it = pages.find(session);
                     if (error || it == pages.end() || !result.contains("result"))
                         return;
                     std::string name = stringField(result["result"], "value");
                     if (name != it->second.name) {
                         it->second.name = name;
                         trace("page " + describe(it->second) + " named \"" + name + "\"");
                     }
                 });
}

// Requests below "http://res/" are answered from the program folder; a refused or missing
// file fails the request, so a page load ends on the load-error page.
void BrowserClient::onRequestPaused(const std::string& session, const Json& params) {
    std::string requestId = stringField(params, "requestId");
    if (requestId.empty())
        return;
    std::string url =
        params.contains("request") ? stringField(params["request"], "url") : std::string();
    if (params.contains("responseStatusCode") || params.contains("responseErrorReason")) {
        channel.call("Fetch.continueRequest", {{"requestId", requestId}}, session);
        return;
    }
    if (!IsApplicationAddress(url)) {
        // A document from elsewhere: an application window hands it to the user's browser.
        auto page = pages.find(session);
        bool mainFrame =
            page != pages.end() && stringField(params, "frameId") == page->second.targetId;
        if (mainFrame && page->second.isApplicationWindow() && url != options.startupAddress) {
            channel.call("Fetch.failRequest",
                         {{"requestId", requestId}, {"errorReason", "Aborted"}}, session);
            openOutside(page->second, url);
        } else {
            channel.call("Fetch.continueRequest", {{"requestId", requestId}}, session);
        }
        return;
    }
    ResourceAnswer answer = AnswerResourceRequest(resourceDirectory, url);
    if (!answer.served) {
        trace("resource refused " + url);
        channel.call("Fetch.failRequest", {{"requestId", requestId}, {"errorReason", "Failed"}},
                     session);
        return;
    }
    Json headers = Json::array({{{"name", "Content-Type"}, {"value", answer.mimeType}}});
    channel.call("Fetch.fulfillRequest",
                 {{"requestId", requestId},
                  {"responseCode", 200},
                  {"responseHeaders", std::move(headers)},
                  {"body", EncodeBase64(answer.body)}},
                 session);
}

void BrowserClient::openOutside(const PageInfo& page, const std::string& url) {
    std::string scheme = lowerCase(url.substr(0, url.find(':')));
    if (scheme != "http" && scheme != "https") {
        warn("an application window was kept from opening " + url);
        return;
    }
    trace("page " + describe(page) + " navigation to " + url + " opened in the user's browser");
    if (hooks.openExternally)
        hooks.openExternally(url);
}

void BrowserClient::onDocumentRequest(const std::string& session, const Json& params) {
    if (stringField(params, "type") != "Document")
        return;
    std::string frameId = stringField(params, "frameId");
    std::string url =
        params.contains("request") ? stringField(params["request"], "url") : std::string();
    documentRequests[session][stringField(params, "requestId")] = DocumentRequest{frameId, url};
    pendingErrorPages[session].erase(frameId); // a new load replaces an older failure
}

void BrowserClient::onLoadingFailed(const std::string& session, const Json& params) {
    if (stringField(params, "type") != "Document")
        return;
    auto& requests = documentRequests[session];
    auto it = requests.find(stringField(params, "requestId"));
    if (it == requests.end())
        return;
    DocumentRequest request = it->second;
    requests.erase(it);
    std::string errorText = stringField(params, "errorText");
    int code = NetErrorCode(errorText);
    auto html = LoadErrorPage(code, request.url, errorText);
    if (!html)
        return; // an aborted load is left alone
    trace("load failed " + request.url + " " + errorText + " (" + std::to_string(code) + ")");
    auto& committed = committedErrorFrames[session];
    if (committed.erase(request.frameId))
        showErrorPage(session, request.frameId, *html);
    else
        pendingErrorPages[session][request.frameId] = *html;
}

void BrowserClient::showErrorPage(const std::string& session, const std::string& frameId,
                                  const std::string& html) {
    channel.call("Page.setDocumentContent", {{"frameId", frameId}, {"html", html}}, session,
                 [this](const Json&, const Json* error) {
                     if (error)
                         trace("error page refused: " + error->dump());
                     else
                         trace("error page shown");
                 });
}

// A crashed page goes back to the start-up address, unless it was already there: an
// application that crashes its own page is not reloaded into a crash loop.
void BrowserClient::onCrashed(const std::string& session) {
    auto it = pages.find(session);
    if (it == pages.end())
        return;
    PageInfo& page = it->second;
    std::string current = lowerCase(page.url);
    if (current.rfind(options.startupAddress, 0) == 0) {
        trace("page " + describe(page) + " crashed at " + page.url + "; left as it is");
        return;
    }
    trace("page " + describe(page) + " crashed at " + page.url + "; reloading " +
          options.startupAddress);
    channel.call("Page.navigate", {{"url", options.startupAddress}}, session);
}

// Only the application's own documents may call the bridge: a call from any other origin,
// or from a context the host does not know, is dropped.
void BrowserClient::onBindingCalled(const std::string& session, const Json& params) {
    auto pageIt = pages.find(session);
    if (pageIt == pages.end())
        return;
    auto it = bindings.find(stringField(params, "name"));
    if (it == bindings.end())
        return;
    auto payload = params.find("payload");
    if (payload == params.end() || !payload->is_string())
        return;
    int contextId = params.value("executionContextId", 0);
    auto& known = contexts[session];
    auto context = known.find(contextId);
    if (context == known.end() || context->second.origin != kApplicationOrigin) {
        std::string origin = context == known.end() ? "an unknown context" : context->second.origin;
        warn("request from " + (origin.empty() ? std::string("a page without origin") : origin) +
             " in page " + describe(pageIt->second) + " dropped");
        return;
    }
    const Binding& binding = it->second;
    if (!binding.world.empty()) {
        // A binding kept to its own world answers in the page's context of the same frame.
        if (context->second.name != binding.world) {
            warn("request from outside the bridge's world in page " + describe(pageIt->second) +
                 " dropped");
            return;
        }
        const std::string& frame = context->second.frameId;
        auto page = std::find_if(known.begin(), known.end(), [&](const auto& entry) {
            return entry.second.isDefault && entry.second.frameId == frame;
        });
        if (page == known.end() || page->second.origin != kApplicationOrigin) {
            warn("request from a frame without its page context in page " +
                 describe(pageIt->second) + " dropped");
            return;
        }
        contextId = page->first;
    }
    binding.handler(pageIt->second, contextId, payload->get<std::string>());
}

void BrowserClient::onConsoleApiCalled(const std::string& session, const Json& params) {
    if (!onConsole)
        return;
    auto pageIt = pages.find(session);
    if (pageIt == pages.end())
        return;
    // The message as the console shows it: its arguments' texts joined by spaces.
    std::string text;
    auto args = params.find("args");
    if (args != params.end() && args->is_array()) {
        for (const auto& arg : *args) {
            if (&arg != &args->front())
                text += ' ';
            text += remoteObjectText(arg);
        }
    }
    onConsole(pageIt->second, text);
}

// An uncaught exception shows in the console as "Uncaught" and the error's whole text.
void BrowserClient::onExceptionThrown(const std::string& session, const Json& params) {
    if (!onConsole)
        return;
    auto pageIt = pages.find(session);
    if (pageIt == pages.end() || !params.contains("exceptionDetails"))
        return;
    onConsole(pageIt->second, exceptionText(params["exceptionDetails"]));
}

// A script the host ran (an event, a reply) that threw: the page never reports it itself.
void BrowserClient::logEvaluationFailure(const std::string& session, const Json& result) {
    if (!onConsole || !result.contains("exceptionDetails"))
        return;
    auto pageIt = pages.find(session);
    if (pageIt == pages.end())
        return;
    std::string text = exceptionText(result["exceptionDetails"]);
    onConsole(pageIt->second, text.rfind("Uncaught", 0) == 0 ? text : "Uncaught " + text);
}

void BrowserClient::onPageGone(const std::string& session) {
    auto it = pages.find(session);
    if (it == pages.end())
        return;
    PageInfo page = std::move(it->second);
    pages.erase(it);
    creationOrder.erase(std::remove(creationOrder.begin(), creationOrder.end(), session),
                        creationOrder.end());
    documentRequests.erase(session);
    contexts.erase(session);
    pendingErrorPages.erase(session);
    committedErrorFrames.erase(session);
    channel.forgetSession(session);
    trace("page " + describe(page) + " closed");

    if (session == mainSession) {
        mainSession.clear();
        runClosingSteps("main page closed");
        return;
    }
    if (page.isRepository() && !mainSession.empty()) {
        evaluate(mainSession, kRepositoryClosedScript);
        trace("repository closed event sent to main");
    }
    if (pages.empty() && !closing)
        runClosingSteps("last page closed");
}

void BrowserClient::browserGone() {
    if (gone)
        return;
    gone = true;
    trace("browser gone");
    runClosingSteps("browser exited", kBrowserEndedExitCode);
}

void BrowserClient::closeEveryBrowser() {
    if (closing)
        return;
    auto main = mainSession;
    for (const PageInfo* popup : popups())
        channel.call("Target.closeTarget", {{"targetId", popup->targetId}});
    if (!main.empty())
        channel.call("Target.closeTarget", {{"targetId", pages[main].targetId}});
    else
        runClosingSteps("nothing to close");
}

void BrowserClient::closeNow(const std::string& reason) { runClosingSteps(reason); }

// When the main page goes: the popups close, the kit stops and both remotes power down while
// the host still runs, then the browser ends.
void BrowserClient::runClosingSteps(const std::string& reason, int exitCode) {
    if (closing)
        return;
    closing = true;
    trace("closing: " + reason);
    if (!gone) {
        for (const PageInfo* popup : popups())
            channel.call("Target.closeTarget", {{"targetId", popup->targetId}});
    }
    if (deviceApi) {
        deviceApi->stopDataAcquisition();
        deviceApi->remotePowerDown(1);
        deviceApi->remotePowerDown(2);
        trace("closing: acquisition stopped, remotes powered down");
    }
    if (hooks.pause)
        hooks.pause(std::chrono::milliseconds(100));
    if (!gone)
        channel.call("Browser.close");
    if (hooks.finish)
        hooks.finish(exitCode);
}

// Device events go to the application windows while they show the application's own pages.
void BrowserClient::runInListeningPages(const std::string& script) {
    for (const auto& session : creationOrder) {
        const PageInfo& page = pages[session];
        if (page.isApplicationWindow() && IsApplicationAddress(page.url))
            evaluate(session, script);
    }
}

void BrowserClient::evaluateLiteral(const std::string& session, std::string_view scriptLiteral,
                                    int contextId) {
    std::string params;
    params.reserve(scriptLiteral.size() + 40);
    params += "{\"expression\":";
    params += scriptLiteral;
    if (contextId != 0)
        params += ",\"contextId\":" + std::to_string(contextId);
    params += '}';
    channel.callWithParamsText("Runtime.evaluate", params, session,
                               [this, session](const Json& result, const Json*) {
                                   logEvaluationFailure(session, result);
                               });
}

void BrowserClient::evaluate(const std::string& session, const std::string& script, int contextId) {
    Json params = {{"expression", script}};
    if (contextId != 0)
        params["contextId"] = contextId;
    channel.call("Runtime.evaluate", std::move(params), session,
                 [this, session](const Json& result, const Json*) {
                     logEvaluationFailure(session, result);
                 });
}

const PageInfo* BrowserClient::mainPage() const {
    auto it = pages.find(mainSession);
    return it == pages.end() ? nullptr : &it->second;
}

std::vector<const PageInfo*> BrowserClient::popups() const {
    std::vector<const PageInfo*> list;
    for (const auto& session : creationOrder) {
        auto it = pages.find(session);
        if (it != pages.end() && it->second.kind == PageInfo::Kind::Popup)
            list.push_back(&it->second);
    }
    return list;
}

const PageInfo* BrowserClient::pageBySession(const std::string& session) const {
    auto it = pages.find(session);
    return it == pages.end() ? nullptr : &it->second;
}
