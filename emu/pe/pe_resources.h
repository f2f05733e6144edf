// A reader of Windows PE files: the section table and the resources (string tables, dialog
// templates, bitmaps, version information, manifests and any raw resource by type and id).
//
// It reads the built Windows programs for their tests and, in the emulated build, the language
// resource libraries that a package carries. Its input is untrusted: every offset, size and count
// is checked against the file, the resource tree is walked to its three levels only, and a file
// that does not hold together is refused with a reason, never read past its end.
//
// No Windows headers: the formats are written out here as the files hold them (little-endian,
// packed).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pe {

// Resource types (the RT_ numbers).
constexpr uint16_t kTypeBitmap = 2;
constexpr uint16_t kTypeMenu = 4;
constexpr uint16_t kTypeDialog = 5;
constexpr uint16_t kTypeString = 6;
constexpr uint16_t kTypeRcData = 10;
constexpr uint16_t kTypeVersion = 16;
constexpr uint16_t kTypeManifest = 24;

// Matches any language in the lookups below.
constexpr uint16_t kAnyLanguage = 0xFFFF;

// File header values.
constexpr uint16_t kMachineI386 = 0x014C;
constexpr uint16_t kMachineAmd64 = 0x8664;
constexpr uint16_t kSubsystemGui = 2;
constexpr uint16_t kSubsystemConsole = 3;
constexpr uint16_t kCharacteristicDll = 0x2000;

// Section characteristics.
constexpr uint32_t kSectionCode = 0x00000020;
constexpr uint32_t kSectionInitializedData = 0x00000040;
constexpr uint32_t kSectionUninitializedData = 0x00000080;
constexpr uint32_t kSectionWritable = 0x80000000;

struct Section {
    std::string name;  // up to 8 characters
    uint32_t virtualAddress = 0;
    uint32_t virtualSize = 0;
    uint32_t rawOffset = 0;  // file offset of the section's data
    uint32_t rawSize = 0;
    uint32_t characteristics = 0;
};

// A resource type or name: a number, or a text (UTF-16).
struct ResourceName {
    bool isNumber = true;
    uint16_t number = 0;
    std::u16string text;
};

// One leaf of the resource tree: its data lies at fileOffset, size bytes, inside the file.
struct Resource {
    ResourceName type;
    ResourceName name;
    uint16_t language = 0;
    uint32_t fileOffset = 0;
    uint32_t size = 0;
};

struct Image {
    std::vector<uint8_t> bytes;  // the whole file
    uint16_t machine = 0;
    uint16_t characteristics = 0;
    bool pe32Plus = false;
    uint16_t subsystem = 0;
    std::vector<Section> sections;
    std::vector<Resource> resources;  // in the tree's order: by type, then name, then language
};

// Reads a PE file from its bytes. A file without resources is valid (resources then empty).
bool ParseImage(std::vector<uint8_t> bytes, Image* image, std::string* error);
bool LoadImage(const std::string& path, Image* image, std::string* error);

// The section whose file data holds the offset, or nullptr.
const Section* SectionAtFileOffset(const Image& image, uint64_t offset);
// The file offset of a relative virtual address, when the file holds it.
bool FileOffsetOfRva(const Image& image, uint32_t rva, uint32_t size, uint32_t* offset);

// The first resource of a numbered type and id in the given language (or in any), or nullptr.
const Resource* FindResource(const Image& image, uint16_t type, uint16_t id, uint16_t language = kAnyLanguage);
// A copy of a resource's bytes.
std::vector<uint8_t> ResourceData(const Image& image, const Resource& resource);
// FindResource and ResourceData in one; false when there is no such resource.
bool ReadResource(const Image& image, uint16_t type, uint16_t id, std::vector<uint8_t>* data,
                  uint16_t language = kAnyLanguage);

// String tables: each RT_STRING resource with id b holds 16 counted UTF-16 strings, the strings
// 16 * (b - 1) to 16 * (b - 1) + 15. An empty string does not exist.
struct StringEntry {
    uint32_t id = 0;
    uint16_t language = 0;
    std::u16string text;
};
// Every existing string of the given language (or of all), by block and position. False when a
// block runs past its resource.
bool ReadStringTable(const Image& image, std::vector<StringEntry>* strings, std::string* error,
                     uint16_t language = kAnyLanguage);
// One string, as LoadString finds it; false when it does not exist.
bool LoadString(const Image& image, uint32_t id, std::u16string* text, uint16_t language = kAnyLanguage);

// Dialog templates, classic (DLGTEMPLATE) and extended (DLGTEMPLATEEX).
struct DialogControl {
    uint32_t helpId = 0;
    uint32_t exStyle = 0;
    uint32_t style = 0;
    int16_t x = 0, y = 0, cx = 0, cy = 0;
    int32_t id = 0;  // classic templates hold 16 bits, widened with their sign (-1 stays -1)
    ResourceName windowClass;  // a number for the predefined classes (0x80 Button ... 0x85 ComboBox)
    ResourceName text;         // a number for an image resource of a static control
    std::vector<uint8_t> creationData;
};
struct DialogTemplate {
    bool extended = false;
    uint32_t helpId = 0;
    uint32_t exStyle = 0;
    uint32_t style = 0;
    int16_t x = 0, y = 0, cx = 0, cy = 0;
    ResourceName menu;         // number 0 and empty text: none
    ResourceName windowClass;  // number 0 and empty text: the dialog class
    std::u16string title;
    bool hasFont = false;      // DS_SETFONT
    uint16_t pointSize = 0;
    uint16_t weight = 0;
    bool italic = false;
    uint8_t charset = 0;
    std::u16string typeface;
    std::vector<DialogControl> controls;
};
bool ParseDialog(const std::vector<uint8_t>& data, DialogTemplate* dialog, std::string* error);
// "Button", "Edit", "Static", "ListBox", "ScrollBar", "ComboBox" for the predefined classes, given
// by number or by name in any case ("STATIC"); else "#" and the number, or the name in UTF-8.
std::string ClassName(const ResourceName& windowClass);

// Bitmap resources (a BITMAPINFOHEADER, the colour table, the pixels: a .bmp without its file
// header). Uncompressed 1, 4, 8, 24 and 32 bits per pixel.
struct Bitmap {
    int32_t width = 0;
    int32_t height = 0;
    uint16_t bitCount = 0;
    std::vector<uint32_t> palette;  // 0x00RRGGBB
    std::vector<uint32_t> pixels;   // 0x00RRGGBB, rows from the top
    uint32_t At(int32_t x, int32_t y) const { return pixels[static_cast<size_t>(y) * width + x]; }
};
bool ParseBitmap(const std::vector<uint8_t>& data, Bitmap* bitmap, std::string* error);

// Version information: the fixed part and the texts of every string table.
struct VersionInfo {
    uint32_t fileVersionHigh = 0, fileVersionLow = 0;
    uint32_t productVersionHigh = 0, productVersionLow = 0;
    uint32_t fileFlags = 0, fileOs = 0, fileType = 0;
    struct Text {
        std::string table;  // "040904B0"
        std::string key;    // "ProductName"
        std::string value;
    };
    std::vector<Text> texts;  // UTF-8
    // The value of a key in the first table that has it, or "".
    std::string Value(const std::string& key) const;
};
bool ParseVersionInfo(const std::vector<uint8_t>& data, VersionInfo* info, std::string* error);

std::string ToUtf8(const std::u16string& text);

}  // namespace pe
