#include "host/bridge/BridgeScript.h"

#include "host/shell/Base64.h"

#include <nlohmann/json.hpp>

namespace {

// The bridge's own world: it alone sees the binding, and hands it the requests the page
// sends as events on its window. A document from elsewhere gets nothing from it.
const char* const kWorldScript = R"JS((function () {
  'use strict';
  var send = globalThis.__korvexBridgeSend;
  if (typeof send !== 'function' || location.origin !== 'http://res') return;
  globalThis.addEventListener('korvexbridgerequest', function (event) {
    var text = event.detail;
    if (typeof text === 'string') send(text);
    else event.preventDefault();  // the page's question whether the bridge is there
  });
})();)JS";

// Everything the page could replace later (JSON, Array.isArray, atob, its events) is taken
// once, before the page's own scripts run. Registrations live in this document: a navigation
// drops them.
const char* const kScript = R"JS((function () {
  'use strict';
  if (location.origin !== 'http://res') return;
  if (Object.prototype.hasOwnProperty.call(globalThis, '__korvexReceive')) return;
  var stringify = JSON.stringify, isArray = Array.isArray, objectIs = Object.is;
  var decode = globalThis.atob, hasOwn = Object.prototype.hasOwnProperty;
  var dispatch = globalThis.dispatchEvent, Request = globalThis.CustomEvent, window = globalThis;
  var registry = Object.create(null);

  // Without the bridge's world there is no one to send to, and no app.
  if (dispatch.call(window, new Request('korvexbridgerequest', { cancelable: true }))) return;
  function send(text) { dispatch.call(window, new Request('korvexbridgerequest', { detail: text })); }

  function invalid() { throw new Error('Invalid method arguments'); }

  // A script value as a typed entry: array, string, boolean, 32-bit integer, other number,
  // and null for anything else.
  function entry(v) {
    if (isArray(v)) return ['l', list(v)];
    switch (typeof v) {
      case 'string': return ['s', v];
      case 'boolean': return ['b', v];
      case 'number':
        if ((v | 0) === v && !objectIs(v, -0)) return ['i', v];
        if (v !== v) return ['d', 'NaN'];
        if (v === Infinity) return ['d', 'Infinity'];
        if (v === -Infinity) return ['d', '-Infinity'];
        return ['d', v];
    }
    return ['n'];
  }
  function list(a) {
    var out = [];
    for (var i = 0; i < a.length; i++) out.push(entry(a[i]));
    return out;
  }

  var app = globalThis.app;
  if (!app) app = globalThis.app = {};
  app.sendMessage = function (name, args) {
    if (typeof name !== 'string' || name.length === 0) invalid();
    var message = { n: name };
    if (isArray(args)) message.a = list(args);
    send(stringify(message));
  };
  app.setMessageCallback = function (name, callback) {
    if (typeof name !== 'string' || typeof callback !== 'function') invalid();
    if (!hasOwn.call(registry, name)) registry[name] = callback;  // the first one stays
  };
  app.removeMessageCallback = function (name) {
    if (typeof name !== 'string') invalid();
    if (!hasOwn.call(registry, name)) return false;
    delete registry[name];
    return true;
  };
  Object.defineProperty(globalThis, '__korvexReceive', {
    value: function (name, document, buffer) {
      if (!hasOwn.call(registry, name)) return false;
      var args = [name];
      if (document !== undefined) {
        args.push(decode(document));
        if (buffer !== undefined) args.push(decode(buffer));
      }
      var result = registry[name].apply(undefined, args);
      return typeof result === 'boolean' ? result : false;
    }
  });
})();)JS";

} // namespace

const std::string& BridgePageScript() {
    static const std::string script = kScript;
    return script;
}

const std::string& BridgeWorldScript() {
    static const std::string script = kWorldScript;
    return script;
}

namespace {

int hexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The code unit of a "\uXXXX" escape at `at`, or -1.
int escapedUnit(const std::string& text, size_t at) {
    if (at + 6 > text.size() || text[at] != '\\' || text[at + 1] != 'u')
        return -1;
    int unit = 0;
    for (size_t i = at + 2; i < at + 6; ++i) {
        int d = hexDigit(text[i]);
        if (d < 0)
            return -1;
        unit = unit * 16 + d;
    }
    return unit;
}

} // namespace

std::string WithLoneSurrogatesReplaced(std::string json) {
    for (size_t i = 0; i < json.size(); ++i) {
        if (json[i] != '\\')
            continue;
        int unit = escapedUnit(json, i);
        if (unit < 0xD800 || unit > 0xDFFF) {
            ++i; // any other escape, "\\" included, is two characters or more: skip its second
            continue;
        }
        int next = escapedUnit(json, i + 6);
        if (unit <= 0xDBFF && next >= 0xDC00 && next <= 0xDFFF) {
            i += 11; // a whole pair
            continue;
        }
        json.replace(i, 6, "\\ufffd");
        i += 5;
    }
    return json;
}

std::string ReplyExpression(const std::string& name, const std::optional<std::string>& document,
                            const std::optional<std::string>& buffer) {
    std::string expression =
        "__korvexReceive(" +
        nlohmann::json(name).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    if (document) {
        expression += ",\"" + EncodeBase64(*document) + "\"";
        if (buffer)
            expression += ",\"" + EncodeBase64(*buffer) + "\"";
    }
    expression += ")";
    return expression;
}

std::string ReplyExpressionLiteral(const std::string& name,
                                   const std::optional<std::string>& document,
                                   const std::optional<std::string>& buffer) {
    // The name as a script string, then that text as part of a JSON string.
    std::string nameScript =
        nlohmann::json(name).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    std::string nameInLiteral =
        nlohmann::json(nameScript).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    nameInLiteral = nameInLiteral.substr(1, nameInLiteral.size() - 2);
    std::string doc = document ? EncodeBase64(*document) : std::string();
    std::string buf = document && buffer ? EncodeBase64(*buffer) : std::string();
    std::string out;
    out.reserve(nameInLiteral.size() + doc.size() + buf.size() + 48);
    out += "\"__korvexReceive(";
    out += nameInLiteral;
    if (document) {
        out += ",\\\"";
        out += doc;
        out += "\\\"";
        if (buffer) {
            out += ",\\\"";
            out += buf;
            out += "\\\"";
        }
    }
    out += ")\"";
    return out;
}
