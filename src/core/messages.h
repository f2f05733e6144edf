// What the program shows and writes: message boxes, the debug log and the texts of the string
// table.
#pragma once

#include <cstdint>

#include "core/result_codes.h"
#include "core/string_ids.h"

constexpr int kMessageSize = 1024;  // formatted texts hold at most 1023 characters

// Message-box styles the program uses.
constexpr uint32_t kStyleError = 0x10;         // OK, error icon
constexpr uint32_t kStyleInformation = 0x40;   // OK, information icon
constexpr uint32_t kStyleConfirmation = 0x41;  // OK and Cancel, information icon

// Shows a modal message box owned by the progress window (no owner before it exists) and returns
// the button pressed. With NoMessageBox set it shows nothing and returns OK.
int ShowMessage(uint32_t style, const char* caption, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// Appends one line to "DebugLog.txt" in the current directory, opening and closing the file for
// the line so that the log survives a crash or a power-off after any line.
void LogLine(const char* format, ...) __attribute__((format(printf, 1, 2)));
// A line of the debug log that only some programs write (see Variant::logsSteps): the step names
// and the details of each step.
void LogStep(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Loads string id of the resource module (the program's own until a language library is loaded)
// into buffer; an empty text when it does not exist.
void LoadText(uint32_t id, char* buffer, int size);

// An argument of a text from the string table.
struct TextArg {
    enum Kind { Text, Number } kind;
    const char* text;
    long number;
};
// Formats a string-table text with its arguments. The texts come from resource libraries, so the
// format is not trusted: only %s, %d, %ld and %% are expanded, with the arguments given (missing
// ones read as empty or 0); any other percent sign is kept as written. The result is cut to fit.
void FormatTableText(char* out, int size, const char* format, const TextArg* args, int argCount);

