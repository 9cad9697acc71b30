#include "Json.h"

#include <cmath>
#include <cstdio>

std::string JsonWriter::quote(std::string_view text) {
    std::string q = "\"";
    for (unsigned char c : text) {
        switch (c) {
        case '"': q += "\\\""; break;
        case '\\': q += "\\\\"; break;
        case '\n': q += "\\n"; break;
        case '\r': q += "\\r"; break;
        case '\t': q += "\\t"; break;
        default:
            if (c < 0x20) {
                char buffer[8];
                std::snprintf(buffer, sizeof buffer, "\\u%04x", c);
                q += buffer;
            } else {
                q += static_cast<char>(c);
            }
        }
    }
    return q + "\"";
}

void JsonWriter::separate() {
    if (afterKey) {
        afterKey = false;
        return;
    }
    if (!first.empty()) {
        if (!first.back())
            out += ',';
        first.back() = false;
    }
}

JsonWriter& JsonWriter::beginObject() {
    separate();
    out += '{';
    first.push_back(true);
    return *this;
}

JsonWriter& JsonWriter::endObject() {
    out += '}';
    if (!first.empty())
        first.pop_back();
    return *this;
}

JsonWriter& JsonWriter::beginArray() {
    separate();
    out += '[';
    first.push_back(true);
    return *this;
}

JsonWriter& JsonWriter::endArray() {
    out += ']';
    if (!first.empty())
        first.pop_back();
    return *this;
}

JsonWriter& JsonWriter::key(std::string_view name) {
    separate();
    out += quote(name);
    out += ':';
    afterKey = true;
    return *this;
}

JsonWriter& JsonWriter::value(std::string_view text) {
    separate();
    out += quote(text);
    return *this;
}

JsonWriter& JsonWriter::value(double number) {
    separate();
    if (!std::isfinite(number)) {
        out += "null";
        return *this;
    }
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.9g", number);
    out += buffer;
    return *this;
}

JsonWriter& JsonWriter::value(int number) { return value(static_cast<long>(number)); }

JsonWriter& JsonWriter::value(long number) {
    separate();
    out += std::to_string(number);
    return *this;
}

JsonWriter& JsonWriter::value(unsigned long number) {
    separate();
    out += std::to_string(number);
    return *this;
}

JsonWriter& JsonWriter::value(bool flag) {
    separate();
    out += flag ? "true" : "false";
    return *this;
}

JsonWriter& JsonWriter::null() {
    separate();
    out += "null";
    return *this;
}

JsonWriter& JsonWriter::raw(std::string_view json) {
    separate();
    out += json;
    return *this;
}
