// The ids of the string table by name, made from the table's one source (res/strings_en.inc) so
// that an id and its name cannot drift apart. The resource libraries carry the same ids.
#pragma once

#include <cstdint>

enum StringId : uint32_t {
#define ROMSHELL_STRING(id, name, text) kText##name = id,
#include "res/strings_en.inc"
#undef ROMSHELL_STRING
};
