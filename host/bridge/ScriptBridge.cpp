#include "host/bridge/ScriptBridge.h"

#include "host/bridge/BridgeScript.h"
#include "host/bridge/ConsoleLog.h"
#include "host/bridge/DeviceMessageDelegate.h"
#include "host/bridge/RunNotes.h"
#include "host/shell/BrowserClient.h"
#include "host/shell/HostPaths.h"

#include <memory>
#include <nlohmann/json.hpp>

namespace {

struct ScriptBridge {
    ScriptBridge(IKorvexAPI* api, const std::string& documents)
        : delegate(api), console(documents), runNotes(WorkFilesDirectory(documents) + "/RunNotes") {
    }
    DeviceMessageDelegate delegate;
    ConsoleLog console;
    RunNotesStore runNotes;
};

} // namespace

void AttachScriptBridge(BrowserClient& client, EventLoop&, const std::string& documentsDirectory) {
    auto bridge = std::make_shared<ScriptBridge>(client.api(), documentsDirectory);
    // The world first: the page's script asks it whether it is there.
    client.addPageScript(BridgeWorldScript(), kBridgeWorldName);
    client.addPageScript(BridgePageScript());
    auto onRequest = [bridge, &client](const PageInfo& page, int contextId,
                                       const std::string& payload) {
        nlohmann::json message =
            nlohmann::json::parse(WithLoneSurrogatesReplaced(payload), nullptr, false);
        if (message.is_discarded() || !message.is_object() || !message.contains("n") ||
            !message["n"].is_string()) {
            client.note("bridge: malformed request dropped");
            return;
        }
        ListValue args;
        if (message.contains("a") && !ParseTypedList(message["a"], args)) {
            client.note("bridge: request with malformed arguments dropped");
            return;
        }
        std::string session = page.sessionId;
        std::string name = message["n"].get<std::string>();
        // Run names and notes are the host's own files, not the library's: answered here.
        if (name == kRunNotesRequest) {
            std::string document = HandleRunNotesRequest(bridge->runNotes, args);
            if (document.empty())
                client.note("bridge: " + name + " with wrong arguments dropped");
            else
                client.evaluateLiteral(
                    session, ReplyExpressionLiteral(name, document, std::nullopt), contextId);
            return;
        }
        bool handled = bridge->delegate.onMessage(
            name, args,
            [&client, session, contextId](const std::string& replyName, const std::string& document,
                                          const std::optional<std::string>& buffer) {
                // The reply goes to the frame that asked.
                client.evaluateLiteral(session, ReplyExpressionLiteral(replyName, document, buffer),
                                       contextId);
            });
        if (!handled)
            client.note("bridge: unknown request " + name + " dropped");
    };
    client.addBinding(kBridgeBindingName, std::move(onRequest), kBridgeWorldName);
    client.setConsoleHandler(
        [bridge](const PageInfo&, const std::string& text) { bridge->console.append(text); });
}
