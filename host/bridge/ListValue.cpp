#include "host/bridge/ListValue.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <limits>

ListValue::Type ListValue::typeAt(size_t index) const {
    if (index >= entries.size())
        return Type::Invalid;
    switch (entries[index].index()) {
    case 0: return Type::Null;
    case 1: return Type::Bool;
    case 2: return Type::Int;
    case 3: return Type::Double;
    case 4: return Type::String;
    default: return Type::List;
    }
}

bool ListValue::getBool(size_t index) const {
    if (index >= entries.size())
        return false;
    if (auto* v = std::get_if<bool>(&entries[index]))
        return *v;
    return false;
}

int32_t ListValue::getInt(size_t index) const {
    if (index >= entries.size())
        return 0;
    if (auto* v = std::get_if<int32_t>(&entries[index]))
        return *v;
    return 0;
}

double ListValue::getDouble(size_t index) const {
    if (index >= entries.size())
        return 0.0;
    if (auto* v = std::get_if<double>(&entries[index]))
        return *v;
    if (auto* v = std::get_if<int32_t>(&entries[index]))
        return *v;
    return 0.0;
}

std::string ListValue::getString(size_t index) const {
    if (index >= entries.size())
        return {};
    if (auto* v = std::get_if<std::string>(&entries[index]))
        return *v;
    return {};
}

const ListValue& ListValue::getList(size_t index) const {
    static const ListValue empty;
    if (index >= entries.size())
        return empty;
    if (auto* v = std::get_if<std::shared_ptr<ListValue>>(&entries[index]))
        return **v;
    return empty;
}

namespace {

bool parseLevel(const nlohmann::json& array, ListValue& out, int depth) {
    if (!array.is_array() || depth > kMaxListDepth)
        return false;
    for (const auto& entry : array) {
        if (!entry.is_array() || entry.empty() || !entry[0].is_string())
            return false;
        const std::string& tag = entry[0].get_ref<const std::string&>();
        if (tag == "n") {
            if (entry.size() != 1)
                return false;
            out.appendNull();
            continue;
        }
        if (entry.size() != 2)
            return false;
        const auto& value = entry[1];
        if (tag == "i") {
            if (!value.is_number_integer())
                return false;
            int64_t v = value.get<int64_t>();
            if (v < std::numeric_limits<int32_t>::min() || v > std::numeric_limits<int32_t>::max())
                return false;
            out.append(static_cast<int32_t>(v));
        } else if (tag == "d") {
            if (value.is_number()) {
                out.append(value.get<double>());
            } else if (value == "NaN") {
                out.append(std::numeric_limits<double>::quiet_NaN());
            } else if (value == "Infinity") {
                out.append(std::numeric_limits<double>::infinity());
            } else if (value == "-Infinity") {
                out.append(-std::numeric_limits<double>::infinity());
            } else {
                return false;
            }
        } else if (tag == "s") {
            if (!value.is_string())
                return false;
            out.append(value.get<std::string>());
        } else if (tag == "b") {
            if (!value.is_boolean())
                return false;
            out.append(value.get<bool>());
        } else if (tag == "l") {
            ListValue inner;
            if (!parseLevel(value, inner, depth + 1))
                return false;
            out.append(std::move(inner));
        } else {
            return false;
        }
    }
    return true;
}

} // namespace

bool ParseTypedList(const nlohmann::json& array, ListValue& out) {
    return parseLevel(array, out, 0);
}
