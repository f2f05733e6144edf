// Checking a machine profile against a table of field rules. Each rule names its field by JSON
// pointer ("/windows/version"); a pointer that is the start of some rule's pointer is a section.
// The OS part of the profile (profile.cpp) and its hardware sections (hardware_profile.cpp) each
// keep their own table and rule kinds and walk them with these functions.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace emu::profile_rules {

// A field's pointer as error messages name it: "/windows/version" as "windows.version".
inline std::string Dotted(const std::string& pointer) {
    std::string out = pointer.empty() ? pointer : pointer.substr(1);
    for (char& c : out)
        if (c == '/') c = '.';
    return out;
}

template <typename Rule, size_t N>
const Rule* FindRule(const Rule (&rules)[N], const std::string& pointer) {
    for (const Rule& rule : rules)
        if (pointer == rule.pointer) return &rule;
    return nullptr;
}

template <typename Rule, size_t N>
bool IsSection(const Rule (&rules)[N], const std::string& pointer) {
    const std::string prefix = pointer + "/";
    for (const Rule& rule : rules)
        if (std::string(rule.pointer).rfind(prefix, 0) == 0) return true;
    return false;
}

// Walks the section given at pointer: a field with a rule goes to
// check(rule, value, &completedValue, errors), a nested section is walked, any other key is an
// unknown field. *root is the whole completed document the pointers lead into.
template <typename Rule, size_t N, typename Check>
void WalkSection(const Rule (&rules)[N], const nlohmann::json& given, const std::string& pointer,
                 nlohmann::json* root, std::vector<std::string>* errors, Check check) {
    for (auto it = given.begin(); it != given.end(); ++it) {
        const std::string p = pointer + "/" + it.key();
        if (const Rule* rule = FindRule(rules, p)) {
            check(*rule, it.value(), &(*root)[nlohmann::json::json_pointer(p)], errors);
        } else if (IsSection(rules, p)) {
            if (!it.value().is_object())
                errors->push_back(Dotted(p) + ": expected an object");
            else
                WalkSection(rules, it.value(), p, root, errors, check);
        } else {
            errors->push_back(Dotted(p) + ": unknown field");
        }
    }
}

}  // namespace emu::profile_rules
