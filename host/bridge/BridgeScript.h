// The page side of the script bridge: the `app` object every page and popup gets before its
// own scripts, and the expression that hands a reply to the page's callback.
#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string>

// The binding through which `app.sendMessage` reaches the host (one string argument: the
// request as JSON, {"n": name, "a": typed entries}). Only the bridge's isolated world sees it:
// no page script can reach it, whatever the page and however early its scripts run.
inline constexpr const char* kBridgeBindingName = "__korvexBridgeSend";
inline constexpr const char* kBridgeWorldName = "Korvex bridge";

// The script of the bridge's world: in a document of the application's own origin, it passes
// the page's requests (events "korvexbridgerequest" on the window) to the binding.
const std::string& BridgeWorldScript();

// The script that defines `app.sendMessage`, `app.setMessageCallback` and
// `app.removeMessageCallback` in a document of the application's own origin, once the bridge's
// world has answered. In a document from anywhere else it defines nothing.
const std::string& BridgePageScript();

// ReplyExpression as a JSON string literal, written directly: the base64 text needs no
// escaping, so a reply of any size is copied once.
std::string ReplyExpressionLiteral(const std::string& name,
                                   const std::optional<std::string>& document,
                                   const std::optional<std::string>& buffer);

// A request's JSON text with every escaped lone surrogate (a "\\ud800" without its pair, as
// JSON.stringify writes one) replaced by the escaped replacement character, so that the
// request is read instead of refused whole.
std::string WithLoneSurrogatesReplaced(std::string json);

// Calls the callback registered for `name` in the page with the name and the bytes as byte
// strings (charCodeAt(i) is byte i). Without a document the callback gets the name alone.
std::string ReplyExpression(const std::string& name, const std::optional<std::string>& document,
                            const std::optional<std::string>& buffer);
