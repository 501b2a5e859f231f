// Reading the JSON the watcher keeps (run records, acceptances) and the
// importer's report without a parse that throws: a value is taken only
// when it is there and of its type; otherwise the target stays as it is
// and the call says so, and the caller decides what a missing value means.
#pragma once
#include <limits>
#include <string>

#include <nlohmann/json.hpp>

inline bool readText(const nlohmann::json& object, const char* key, std::string& target) {
    const auto value = object.find(key);
    if (value == object.end() || !value->is_string()) return false;
    target = value->get_ref<const std::string&>();
    return true;
}

inline bool readFlag(const nlohmann::json& object, const char* key, bool& target) {
    const auto value = object.find(key);
    if (value == object.end() || !value->is_boolean()) return false;
    target = value->get_ref<const bool&>();
    return true;
}

// A whole number of the JSON (signed or not) into target's type; false when
// it is missing, no whole number, or out of that type's range.
template <typename Number>
bool readNumber(const nlohmann::json& object, const char* key, Number& target) {
    const auto value = object.find(key);
    if (value == object.end()) return false;
    if (value->is_number_unsigned()) {
        const auto number = value->get_ref<const nlohmann::json::number_unsigned_t&>();
        if (number > static_cast<unsigned long long>(std::numeric_limits<Number>::max())) return false;
        target = static_cast<Number>(number);
        return true;
    }
    if (!value->is_number_integer()) return false;
    const auto number = value->get_ref<const nlohmann::json::number_integer_t&>();
    if (number < static_cast<long long>(std::numeric_limits<Number>::min()) ||
        (number > 0 && static_cast<unsigned long long>(number) > static_cast<unsigned long long>(std::numeric_limits<Number>::max()))) {
        return false;
    }
    target = static_cast<Number>(number);
    return true;
}
