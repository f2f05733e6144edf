// Which entry names the package reader accepts.
//
// An entry's name becomes a file name in the current directory twice: once as stored (with its
// ".gz") and once without the ".gz". A name that could reach anything else (another folder, a
// drive, a device, an alternate stream of a file) is refused before a byte of it is written. The
// program and the release tool share this rule, so that the tool never builds a package that the
// program would refuse.
//
// Pure: no state and no operating system, usable from any thread and any build.
#pragma once

#include <cstddef>

enum class EntryNameProblem {
    None,
    NotTerminated,     // no NUL within the name field
    Empty,             // no characters at all
    Separator,         // holds "\" or "/"
    DriveOrColon,      // holds ":" (a drive letter or a stream name)
    DotName,           // "." or "..", as stored or without ".gz"
    InvalidCharacter,  // a control character or one of < > " | ? *
    DeviceName,        // a name that Windows takes for a device (CON, NUL, COM1, ...)
};

// Checks the name field of an entry head: fieldSize bytes that must hold a NUL.
EntryNameProblem CheckEntryNameField(const char* field, size_t fieldSize);
// Checks a terminated name.
EntryNameProblem CheckEntryName(const char* name);
// A short English reason, for logs and the release tool ("" for None).
const char* EntryNameProblemText(EntryNameProblem problem);

// The name the decompression step writes for an extracted entry: the name less a final ".gz"
// (compared with case) when it is longer than 3 characters, else the name itself. Writes at most
// outputSize bytes, always terminated; false when the result did not fit.
bool DecompressedEntryName(const char* name, char* output, size_t outputSize);
