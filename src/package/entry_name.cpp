#include "package/entry_name.h"

#include <cstring>

#include "base/text.h"

namespace {

constexpr const char kCompressedSuffix[] = ".gz";
constexpr size_t kCompressedSuffixLength = 3;

// Names Windows opens as devices in any folder, with or without an extension.
constexpr const char* kDeviceNames[] = {
    "CON",  "PRN",  "AUX",  "NUL",  "CONIN$", "CONOUT$", "CLOCK$",
    "COM1", "COM2", "COM3", "COM4", "COM5",   "COM6",    "COM7", "COM8", "COM9",
    "LPT1", "LPT2", "LPT3", "LPT4", "LPT5",   "LPT6",    "LPT7", "LPT8", "LPT9",
};

bool IsDotName(const char* name, size_t length) {
    return (length == 1 && name[0] == '.') || (length == 2 && name[0] == '.' && name[1] == '.');
}

// Windows looks at the part before the first dot, trailing blanks ignored, to decide whether a
// name is a device.
bool IsDeviceName(const char* name) {
    size_t base = 0;
    while (name[base] != '\0' && name[base] != '.') ++base;
    while (base > 0 && name[base - 1] == ' ') --base;
    for (const char* device : kDeviceNames) {
        if (std::strlen(device) == base && CompareIgnoreCaseN(name, device, base) == 0) return true;
    }
    return false;
}

size_t DecompressedLength(const char* name, size_t length) {
    if (length > kCompressedSuffixLength &&
        std::memcmp(name + length - kCompressedSuffixLength, kCompressedSuffix, kCompressedSuffixLength) == 0) {
        return length - kCompressedSuffixLength;
    }
    return length;
}

}  // namespace

EntryNameProblem CheckEntryName(const char* name) {
    size_t length = std::strlen(name);
    if (length == 0) return EntryNameProblem::Empty;
    for (size_t i = 0; i < length; ++i) {
        unsigned char c = static_cast<unsigned char>(name[i]);
        if (c == '\\' || c == '/') return EntryNameProblem::Separator;
        if (c == ':') return EntryNameProblem::DriveOrColon;
        if (c < 0x20 || std::strchr("<>\"|?*", c) != nullptr) return EntryNameProblem::InvalidCharacter;
    }
    size_t outputLength = DecompressedLength(name, length);
    if (IsDotName(name, length) || IsDotName(name, outputLength)) return EntryNameProblem::DotName;
    if (IsDeviceName(name)) return EntryNameProblem::DeviceName;
    return EntryNameProblem::None;
}

EntryNameProblem CheckEntryNameField(const char* field, size_t fieldSize) {
    if (BoundedLength(field, fieldSize) == fieldSize) return EntryNameProblem::NotTerminated;
    return CheckEntryName(field);
}

const char* EntryNameProblemText(EntryNameProblem problem) {
    switch (problem) {
        case EntryNameProblem::None: return "";
        case EntryNameProblem::NotTerminated: return "name is not terminated within its field";
        case EntryNameProblem::Empty: return "name is empty";
        case EntryNameProblem::Separator: return "name holds a folder separator";
        case EntryNameProblem::DriveOrColon: return "name holds a drive or a colon";
        case EntryNameProblem::DotName: return "name stands for a folder (\".\" or \"..\")";
        case EntryNameProblem::InvalidCharacter: return "name holds a character Windows refuses in file names";
        case EntryNameProblem::DeviceName: return "name is a Windows device name";
    }
    return "";
}

bool DecompressedEntryName(const char* name, char* output, size_t outputSize) {
    return CopyTextN(output, outputSize, name, DecompressedLength(name, std::strlen(name)));
}
