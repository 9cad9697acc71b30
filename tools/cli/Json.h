// A small streaming JSON writer for the --json output: keys in the order written, numbers
// that are not finite written as null, strings escaped as JSON requires.
#pragma once

#include <string>
#include <string_view>
#include <vector>

class JsonWriter {
public:
    JsonWriter& beginObject();
    JsonWriter& endObject();
    JsonWriter& beginArray();
    JsonWriter& endArray();
    JsonWriter& key(std::string_view name);
    JsonWriter& value(std::string_view text);
    JsonWriter& value(const char* text) { return value(std::string_view(text ? text : "")); }
    JsonWriter& value(const std::string& text) { return value(std::string_view(text)); }
    JsonWriter& value(double number);
    JsonWriter& value(int number);
    JsonWriter& value(long number);
    JsonWriter& value(unsigned long number);
    JsonWriter& value(bool flag);
    JsonWriter& null();
    // An already encoded JSON value.
    JsonWriter& raw(std::string_view json);

    const std::string& text() const { return out; }

    static std::string quote(std::string_view text);

private:
    void separate();
    std::string out;
    std::vector<bool> first; // per open container: nothing written yet
    bool afterKey = false;
};
