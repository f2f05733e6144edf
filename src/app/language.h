// The resource library in the system's language.
#pragma once

#include <cstdint>

#include "os/os.h"

// The language code ("En", "Fr", "Cht", ...) of the library for a system default language
// identifier.
const char* LanguageCode(uint16_t langId);

// Extracts and loads the language's resource library into resourceModule. 1 when a library was
// extracted and a load attempted (resourceModule may then be null), 0 when none was extracted.
int LoadResourceModule();

// Stores instance and loads the language library; without one the program's own resources answer
// (no message), and a library that would not load is reported with "Fail : Dll".
void ChooseResourceModule(os::Module instance);
