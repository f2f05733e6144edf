// Machine profiles: reading, checking and completing the JSON that describes a notebook and its
// Windows. The schema is documented in emu/machines/README.md.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

namespace emu {

// The profile with every field at its default value.
const nlohmann::json& DefaultProfile();

// Checks a profile (JSON text) and fills in every field it leaves out. False with the reasons
// (one line each, "field.path: reason") when the text is not JSON, names an unknown field, or a
// field has the wrong type or an impossible value.
bool CompleteProfile(const std::string& profileJson, nlohmann::json* profile, std::string* error);
bool CompleteProfile(const nlohmann::json& given, nlohmann::json* profile, std::string* error);

// Merges patch over base: objects key by key, every other value (null included) replaces what
// base holds. Unlike a JSON merge patch, null is kept as a value, since "not set" is a state a
// profile must be able to say (TEMP).
nlohmann::json MergeProfile(const nlohmann::json& base, const nlohmann::json& patch);

// Reads a file into text; false with a reason when it cannot be read.
bool ReadTextFile(const std::string& path, std::string* text, std::string* error);

}  // namespace emu
