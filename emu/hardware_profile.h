// The hardware sections of a machine profile: their defaults and their checks. The schema is
// documented in emu/machines/README.md; profile.cpp hands these sections over to here.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace emu {

// The hardware sections ("bios", "ec", "devices", ...) with every field at its default.
const nlohmann::json& HardwareProfileDefaults();
bool IsHardwareSection(const std::string& key);
// Checks one top-level hardware section as given and merges it over *completed (which holds the
// section's defaults). Errors are "field.path: reason" lines.
void CheckHardwareSection(const std::string& key, const nlohmann::json& given, nlohmann::json* completed,
                          std::vector<std::string>* errors);

}  // namespace emu
