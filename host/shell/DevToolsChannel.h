// The browser protocol as calls and events: numbers every call, matches replies to their
// callers and hands events to one handler. It knows nothing about the transport: the host
// gives it a sender, and feeds it every received message.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>

using Json = nlohmann::json;

class DevToolsChannel {
public:
    // Sends one message (a JSON text, without framing). Returns false when the browser's end
    // is gone.
    using Sender = std::function<bool(const std::string& message)>;
    // The reply to one call: `result`, or `error` when the browser refused the call.
    using ReplyHandler = std::function<void(const Json& result, const Json* error)>;
    // An event: method, params, and the session it belongs to ("" for the browser itself).
    using EventHandler = std::function<void(const std::string& method, const Json& params,
                                            const std::string& session)>;

    explicit DevToolsChannel(Sender sender) : sender(std::move(sender)) {}

    void setEventHandler(EventHandler handler) { onEvent = std::move(handler); }

    // Sends a call; its reply, if a handler is given, comes back through it. Returns the call's
    // number, or 0 when it could not be sent (the handler is then never called).
    int64_t call(const std::string& method, Json params = Json::object(),
                 const std::string& session = {}, ReplyHandler onReply = {});

    // The same with the params already written as JSON text (an object). For the largest
    // calls, whose text is built directly instead of through a JSON value.
    int64_t callWithParamsText(const std::string& method, std::string_view paramsText,
                               const std::string& session = {}, ReplyHandler onReply = {});

    // One received message. Malformed ones are counted and dropped.
    void receive(std::string_view message);

    // Forgets the calls still waiting on a session that has ended: the browser will not
    // answer them.
    void forgetSession(const std::string& session);

    size_t waitingCalls() const { return waiting.size(); }
    uint64_t malformedMessages() const { return malformed; }

private:
    struct Waiting {
        std::string session;
        ReplyHandler onReply;
    };
    Sender sender;
    EventHandler onEvent;
    std::map<int64_t, Waiting> waiting;
    int64_t nextId = 1;
    uint64_t malformed = 0;
};
