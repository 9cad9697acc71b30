#include "host/shell/DevToolsChannel.h"

int64_t DevToolsChannel::call(const std::string& method, Json params, const std::string& session,
                              ReplyHandler onReply) {
    int64_t id = nextId++;
    Json message = {{"id", id}, {"method", method}, {"params", std::move(params)}};
    if (!session.empty())
        message["sessionId"] = session;
    // Replies may come back before send returns when the transport is synchronous (tests),
    // so the caller is registered first.
    if (onReply)
        waiting[id] = Waiting{session, std::move(onReply)};
    if (!sender(message.dump(-1, ' ', false, Json::error_handler_t::replace))) {
        waiting.erase(id);
        return 0;
    }
    return id;
}

int64_t DevToolsChannel::callWithParamsText(const std::string& method, std::string_view paramsText,
                                            const std::string& session, ReplyHandler onReply) {
    int64_t id = nextId++;
    std::string text;
    text.reserve(paramsText.size() + method.size() + session.size() + 64);
    text += "{\"id\":";
    text += std::to_string(id);
    text += ",\"method\":";
    text += Json(method).dump();
    text += ",\"params\":";
    text += paramsText;
    if (!session.empty()) {
        text += ",\"sessionId\":";
        text += Json(session).dump();
    }
    text += '}';
    if (onReply)
        waiting[id] = Waiting{session, std::move(onReply)};
    if (!sender(text)) {
        waiting.erase(id);
        return 0;
    }
    return id;
}

void DevToolsChannel::receive(std::string_view text) {
    Json message = Json::parse(text, nullptr, false);
    if (message.is_discarded() || !message.is_object()) {
        ++malformed;
        return;
    }
    auto id = message.find("id");
    if (id != message.end()) {
        if (!id->is_number_integer()) {
            ++malformed;
            return;
        }
        auto it = waiting.find(id->get<int64_t>());
        if (it == waiting.end())
            return; // nobody asked to hear about this one
        ReplyHandler handler = std::move(it->second.onReply);
        waiting.erase(it);
        auto error = message.find("error");
        if (error != message.end()) {
            handler(Json::object(), &*error);
        } else {
            auto result = message.find("result");
            handler(result != message.end() ? *result : Json::object(), nullptr);
        }
        return;
    }
    auto method = message.find("method");
    if (method == message.end() || !method->is_string()) {
        ++malformed;
        return;
    }
    if (!onEvent)
        return;
    static const Json noParams = Json::object();
    auto params = message.find("params");
    auto session = message.find("sessionId");
    onEvent(method->get<std::string>(), params != message.end() ? *params : noParams,
            session != message.end() && session->is_string() ? session->get<std::string>()
                                                             : std::string());
}

void DevToolsChannel::forgetSession(const std::string& session) {
    for (auto it = waiting.begin(); it != waiting.end();) {
        if (it->second.session == session)
            it = waiting.erase(it);
        else
            ++it;
    }
}
