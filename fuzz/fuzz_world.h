// What the libFuzzer targets share: an emulated world of their own for the whole fuzzing run,
// removed when the fuzzer ends, and the way a target reports a broken property.
#pragma once

#include <string>

namespace fuzz {

// Makes a world from the machine profile emu/machines/<profile>.json in a fresh folder under
// TMPDIR and attaches to it. False, with the reason printed, when it cannot be made.
bool MakeWorld(const char* target, const char* profile);

// Prints "<target>: <what>" and aborts, so that libFuzzer keeps the input as a crash.
[[noreturn]] void Fail(const char* target, const std::string& what);

}  // namespace fuzz
