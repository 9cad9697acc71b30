// The host's side of a page's request arguments: an ordered list of typed entries, read by
// position the way the device dispatcher expects. Reading an entry that is missing or of
// another type gives 0, 0.0, false, "" or an empty list; an integer entry read as a
// floating-point number gives its value.
#pragma once

#include <nlohmann/json_fwd.hpp>

#include <cstdint>
#include <memory>
#include <string>
#include <variant>
#include <vector>

class ListValue {
public:
    enum class Type { Invalid, Null, Bool, Int, Double, String, List };

    size_t size() const { return entries.size(); }
    Type typeAt(size_t index) const;

    bool getBool(size_t index) const;
    int32_t getInt(size_t index) const;
    double getDouble(size_t index) const;
    std::string getString(size_t index) const;
    const ListValue& getList(size_t index) const; // an empty list when not a list

    void appendNull() { entries.emplace_back(std::monostate{}); }
    void append(bool value) { entries.emplace_back(value); }
    void append(int32_t value) { entries.emplace_back(value); }
    void append(double value) { entries.emplace_back(value); }
    void append(std::string value) { entries.emplace_back(std::move(value)); }
    void append(const char* value) { entries.emplace_back(std::string(value)); }
    void append(ListValue value) {
        entries.emplace_back(std::make_shared<ListValue>(std::move(value)));
    }

private:
    using Entry = std::variant<std::monostate, bool, int32_t, double, std::string,
                               std::shared_ptr<ListValue>>;
    std::vector<Entry> entries;
};

// The page sends its arguments as a JSON array of typed entries:
//   ["i", 1]  ["d", 2.5]  ["d", "NaN"|"Infinity"|"-Infinity"]  ["s", "a"]  ["b", true]  ["n"]
//   ["l", [ ...entries... ]]
// Returns false (and leaves `out` unspecified) for anything else: a wrong tag or value, an
// integer outside 32 bits, or nesting deeper than any page can build.
bool ParseTypedList(const nlohmann::json& array, ListValue& out);

// How deep lists may nest. No request uses more than two levels; the bound only keeps a
// hostile page from exhausting the host's stack.
inline constexpr int kMaxListDepth = 1000;
