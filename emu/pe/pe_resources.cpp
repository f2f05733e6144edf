#include "pe/pe_resources.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <iterator>

namespace pe {
namespace {

// Bounded little-endian reads from a byte range. Every read checks the range first; a failed
// read leaves the value 0 and the cursor where it was.
class Reader {
public:
    Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    Reader(const std::vector<uint8_t>& data) : data_(data.data()), size_(data.size()) {}

    size_t size() const { return size_; }
    size_t pos() const { return pos_; }
    size_t remaining() const { return size_ - pos_; }
    bool Seek(size_t pos) {
        if (pos > size_) return false;
        pos_ = pos;
        return true;
    }
    bool Skip(size_t count) { return count <= remaining() && Seek(pos_ + count); }
    // Moves to the next multiple of four from the start of the range.
    bool AlignDword() { return Skip((4 - pos_ % 4) % 4); }

    bool U8(uint8_t* v) { return Read(v, 1); }
    bool U16(uint16_t* v) { return Read(v, 2); }
    bool U32(uint32_t* v) { return Read(v, 4); }
    bool I16(int16_t* v) {
        uint16_t u = 0;
        if (!U16(&u)) return false;
        *v = static_cast<int16_t>(u);
        return true;
    }
    bool Bytes(size_t count, std::vector<uint8_t>* out) {
        if (count > remaining()) return false;
        out->assign(data_ + pos_, data_ + pos_ + count);
        pos_ += count;
        return true;
    }
    // A NUL-terminated UTF-16 text; false when the range ends before the terminator.
    bool Text(std::u16string* out) {
        out->clear();
        for (;;) {
            uint16_t c = 0;
            if (!U16(&c)) return false;
            if (c == 0) return true;
            out->push_back(static_cast<char16_t>(c));
        }
    }
    // The "number or text" field of dialog templates: 0x0000 none, 0xFFFF and a number, or a text.
    bool NameOrNumber(ResourceName* out) {
        *out = ResourceName{};
        uint16_t first = 0;
        if (!U16(&first)) return false;
        if (first == 0x0000) return true;
        if (first == 0xFFFF) return U16(&out->number);
        out->isNumber = false;
        out->text.push_back(static_cast<char16_t>(first));
        std::u16string rest;
        if (!Text(&rest)) return false;
        out->text += rest;
        return true;
    }

private:
    template <typename T>
    bool Read(T* v, size_t width) {
        *v = 0;
        if (width > remaining()) return false;
        uint64_t value = 0;
        for (size_t i = 0; i < width; ++i) value |= static_cast<uint64_t>(data_[pos_ + i]) << (8 * i);
        *v = static_cast<T>(value);
        pos_ += width;
        return true;
    }

    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

bool Fail(std::string* error, const std::string& reason) {
    if (error != nullptr) *error = reason;
    return false;
}

constexpr uint16_t kDosMagic = 0x5A4D;      // "MZ"
constexpr uint32_t kPeSignature = 0x4550;   // "PE\0\0"
constexpr uint16_t kMagicPe32 = 0x10B;
constexpr uint16_t kMagicPe32Plus = 0x20B;
constexpr uint32_t kResourceDirectoryIndex = 2;
constexpr uint32_t kHighBit = 0x80000000u;

// More leaves (and directories) than any resource script makes; a tree that claims more shares
// its subdirectories over and over, which a well-formed file never does.
constexpr size_t kMaxResources = 65536;

struct ResourceWalk {
    const Image* image;
    uint32_t sectionOffset;  // file offset of the resource directory: offsets in the tree count from here
    uint32_t sectionSize;    // bytes of the directory available in the file
    std::vector<Resource>* out;
    size_t* directories;  // directories visited so far
    std::string* error;
};

bool ReadResourceName(const ResourceWalk& walk, uint32_t field, ResourceName* name) {
    *name = ResourceName{};
    if ((field & kHighBit) == 0) {
        if (field > 0xFFFF) return Fail(walk.error, "resource id out of range");
        name->number = static_cast<uint16_t>(field);
        return true;
    }
    // A counted UTF-16 text (not terminated) at the offset in the directory.
    const uint32_t offset = field & ~kHighBit;
    Reader r(walk.image->bytes.data() + walk.sectionOffset, walk.sectionSize);
    uint16_t length = 0;
    if (!r.Seek(offset) || !r.U16(&length)) return Fail(walk.error, "resource name outside the directory");
    name->isNumber = false;
    for (uint16_t i = 0; i < length; ++i) {
        uint16_t c = 0;
        if (!r.U16(&c)) return Fail(walk.error, "resource name runs past the directory");
        name->text.push_back(static_cast<char16_t>(c));
    }
    return true;
}

// One directory of the tree at `offset` (from the start of the resource directory). Level 0
// holds types, 1 names, 2 languages whose entries point at the data.
bool WalkDirectory(const ResourceWalk& walk, uint32_t offset, int level, Resource* path) {
    if (++*walk.directories > kMaxResources) return Fail(walk.error, "too many resource directories");
    Reader r(walk.image->bytes.data() + walk.sectionOffset, walk.sectionSize);
    uint16_t named = 0;
    uint16_t numbered = 0;
    if (!r.Seek(offset) || !r.Skip(12) || !r.U16(&named) || !r.U16(&numbered)) {
        return Fail(walk.error, "resource directory outside the resource section");
    }
    const size_t count = static_cast<size_t>(named) + numbered;
    if (count * 8 > r.remaining()) return Fail(walk.error, "resource directory entries run past the section");
    for (size_t i = 0; i < count; ++i) {
        uint32_t nameField = 0;
        uint32_t target = 0;
        r.U32(&nameField);
        r.U32(&target);
        if (level < 2) {
            // Types and names lead to directories; anything else is not part of the tree.
            if ((target & kHighBit) == 0) return Fail(walk.error, "resource entry without its subdirectory");
            if (!ReadResourceName(walk, nameField, level == 0 ? &path->type : &path->name)) return false;
            if (!WalkDirectory(walk, target & ~kHighBit, level + 1, path)) return false;
            continue;
        }
        if ((target & kHighBit) != 0) return Fail(walk.error, "resource tree deeper than three levels");
        if ((nameField & kHighBit) != 0 || nameField > 0xFFFF) return Fail(walk.error, "resource language out of range");
        Reader d(walk.image->bytes.data() + walk.sectionOffset, walk.sectionSize);
        uint32_t dataRva = 0;
        uint32_t dataSize = 0;
        if (!d.Seek(target) || !d.U32(&dataRva) || !d.U32(&dataSize) || !d.Skip(8)) {
            return Fail(walk.error, "resource data entry outside the resource section");
        }
        Resource leaf = *path;
        leaf.language = static_cast<uint16_t>(nameField);
        leaf.size = dataSize;
        if (!FileOffsetOfRva(*walk.image, dataRva, dataSize, &leaf.fileOffset)) {
            return Fail(walk.error, "resource data outside the file");
        }
        if (walk.out->size() >= kMaxResources) return Fail(walk.error, "too many resources");
        walk.out->push_back(leaf);
    }
    return true;
}

}  // namespace

bool FileOffsetOfRva(const Image& image, uint32_t rva, uint32_t size, uint32_t* offset) {
    for (const Section& s : image.sections) {
        const uint64_t start = s.virtualAddress;
        const uint64_t end = start + s.rawSize;  // only what the file holds
        if (rva < start || static_cast<uint64_t>(rva) + size > end) continue;
        const uint64_t fileOffset = static_cast<uint64_t>(s.rawOffset) + (rva - start);
        if (fileOffset + size > image.bytes.size()) return false;
        *offset = static_cast<uint32_t>(fileOffset);
        return true;
    }
    return false;
}

const Section* SectionAtFileOffset(const Image& image, uint64_t offset) {
    for (const Section& s : image.sections) {
        if (s.rawSize != 0 && offset >= s.rawOffset && offset < static_cast<uint64_t>(s.rawOffset) + s.rawSize) {
            return &s;
        }
    }
    return nullptr;
}

bool ParseImage(std::vector<uint8_t> bytes, Image* image, std::string* error) {
    *image = Image{};
    image->bytes = std::move(bytes);
    Reader r(image->bytes);

    uint16_t dosMagic = 0;
    uint32_t peOffset = 0;
    if (!r.U16(&dosMagic) || dosMagic != kDosMagic) return Fail(error, "no MZ header");
    if (!r.Seek(0x3C) || !r.U32(&peOffset)) return Fail(error, "file ends inside the MZ header");
    uint32_t signature = 0;
    if (!r.Seek(peOffset) || !r.U32(&signature) || signature != kPeSignature) return Fail(error, "no PE signature");

    uint16_t sectionCount = 0;
    uint16_t optionalSize = 0;
    if (!r.U16(&image->machine) || !r.U16(&sectionCount) || !r.Skip(12) || !r.U16(&optionalSize) ||
        !r.U16(&image->characteristics)) {
        return Fail(error, "file ends inside the file header");
    }
    const size_t optionalStart = r.pos();
    Reader opt(image->bytes.data() + optionalStart, std::min<size_t>(optionalSize, r.remaining()));
    if (opt.size() < optionalSize) return Fail(error, "file ends inside the optional header");
    uint16_t magic = 0;
    if (!opt.U16(&magic)) return Fail(error, "optional header too small");
    if (magic != kMagicPe32 && magic != kMagicPe32Plus) return Fail(error, "unknown optional header magic");
    image->pe32Plus = magic == kMagicPe32Plus;
    // Subsystem: offset 68 in both forms. The data directories follow the count at 92 (PE32) or
    // 108 (PE32+).
    const size_t countOffset = image->pe32Plus ? 108 : 92;
    uint32_t directoryCount = 0;
    if (!opt.Seek(68) || !opt.U16(&image->subsystem) || !opt.Seek(countOffset) || !opt.U32(&directoryCount)) {
        return Fail(error, "optional header too small");
    }
    uint32_t resourceRva = 0;
    uint32_t resourceSize = 0;
    if (directoryCount > kResourceDirectoryIndex) {
        if (!opt.Skip(8 * kResourceDirectoryIndex) || !opt.U32(&resourceRva) || !opt.U32(&resourceSize)) {
            return Fail(error, "data directories run past the optional header");
        }
    }

    if (!r.Seek(optionalStart + optionalSize)) return Fail(error, "file ends inside the optional header");
    if (static_cast<size_t>(sectionCount) * 40 > r.remaining()) return Fail(error, "section table runs past the file");
    for (uint16_t i = 0; i < sectionCount; ++i) {
        Section s;
        std::vector<uint8_t> name;
        r.Bytes(8, &name);
        for (uint8_t c : name) {
            if (c == 0) break;
            s.name.push_back(static_cast<char>(c));
        }
        r.U32(&s.virtualSize);
        r.U32(&s.virtualAddress);
        r.U32(&s.rawSize);
        r.U32(&s.rawOffset);
        r.Skip(12);
        r.U32(&s.characteristics);
        // Keep only what the file holds of the section.
        if (s.rawOffset >= image->bytes.size()) {
            s.rawSize = 0;
        } else if (static_cast<uint64_t>(s.rawOffset) + s.rawSize > image->bytes.size()) {
            s.rawSize = static_cast<uint32_t>(image->bytes.size() - s.rawOffset);
        }
        image->sections.push_back(s);
    }

    if (resourceRva == 0 || resourceSize == 0) return true;
    // The directory itself must lie in the file; its size may be given generously, so take what
    // the section holds from the directory's start on.
    uint32_t resourceOffset = 0;
    uint32_t available = 0;
    for (const Section& s : image->sections) {
        if (resourceRva >= s.virtualAddress && resourceRva < static_cast<uint64_t>(s.virtualAddress) + s.rawSize) {
            resourceOffset = s.rawOffset + (resourceRva - s.virtualAddress);
            available = s.rawSize - (resourceRva - s.virtualAddress);
            break;
        }
    }
    if (available == 0) return Fail(error, "resource directory outside every section");
    size_t directories = 0;
    ResourceWalk walk{image, resourceOffset, std::min(available, resourceSize), &image->resources,
                      &directories, error};
    Resource path;
    return WalkDirectory(walk, 0, 0, &path);
}

bool LoadImage(const std::string& path, Image* image, std::string* error) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return Fail(error, "cannot open " + path);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (file.bad()) return Fail(error, "cannot read " + path);
    return ParseImage(std::move(bytes), image, error);
}

const Resource* FindResource(const Image& image, uint16_t type, uint16_t id, uint16_t language) {
    for (const Resource& res : image.resources) {
        if (!res.type.isNumber || res.type.number != type) continue;
        if (!res.name.isNumber || res.name.number != id) continue;
        if (language != kAnyLanguage && res.language != language) continue;
        return &res;
    }
    return nullptr;
}

std::vector<uint8_t> ResourceData(const Image& image, const Resource& resource) {
    // Resources come from ParseImage, which checked that their data lies in the file.
    const auto begin = image.bytes.begin() + resource.fileOffset;
    return std::vector<uint8_t>(begin, begin + resource.size);
}

bool ReadResource(const Image& image, uint16_t type, uint16_t id, std::vector<uint8_t>* data, uint16_t language) {
    const Resource* res = FindResource(image, type, id, language);
    if (res == nullptr) return false;
    *data = ResourceData(image, *res);
    return true;
}

bool ReadStringTable(const Image& image, std::vector<StringEntry>* strings, std::string* error, uint16_t language) {
    strings->clear();
    for (const Resource& res : image.resources) {
        if (!res.type.isNumber || res.type.number != kTypeString || !res.name.isNumber) continue;
        if (language != kAnyLanguage && res.language != language) continue;
        if (res.name.number == 0) return Fail(error, "string block 0 does not exist");
        Reader r(image.bytes.data() + res.fileOffset, res.size);
        for (uint32_t i = 0; i < 16; ++i) {
            uint16_t length = 0;
            if (!r.U16(&length)) return Fail(error, "string block " + std::to_string(res.name.number) + " is cut");
            StringEntry entry;
            entry.id = 16 * (static_cast<uint32_t>(res.name.number) - 1) + i;
            entry.language = res.language;
            for (uint16_t k = 0; k < length; ++k) {
                uint16_t c = 0;
                if (!r.U16(&c)) return Fail(error, "string " + std::to_string(entry.id) + " runs past its block");
                entry.text.push_back(static_cast<char16_t>(c));
            }
            if (length > 0) strings->push_back(std::move(entry));
        }
    }
    return true;
}

bool LoadString(const Image& image, uint32_t id, std::u16string* text, uint16_t language) {
    text->clear();
    if (id > 0xFFFF) return false;
    const Resource* res = FindResource(image, kTypeString, static_cast<uint16_t>(id / 16 + 1), language);
    if (res == nullptr) return false;
    Reader r(image.bytes.data() + res->fileOffset, res->size);
    for (uint32_t i = 0; i <= id % 16; ++i) {
        uint16_t length = 0;
        if (!r.U16(&length)) return false;
        if (i < id % 16) {
            if (!r.Skip(2u * length)) return false;
            continue;
        }
        for (uint16_t k = 0; k < length; ++k) {
            uint16_t c = 0;
            if (!r.U16(&c)) {
                text->clear();
                return false;
            }
            text->push_back(static_cast<char16_t>(c));
        }
        return length > 0;
    }
    return false;
}

bool ParseDialog(const std::vector<uint8_t>& data, DialogTemplate* dialog, std::string* error) {
    *dialog = DialogTemplate{};
    Reader r(data);
    uint16_t version = 0;
    uint16_t signature = 0;
    if (!r.U16(&version) || !r.U16(&signature)) return Fail(error, "dialog template too short");
    dialog->extended = version == 1 && signature == 0xFFFF;
    r.Seek(0);
    constexpr uint32_t kDsSetFont = 0x40;
    uint16_t count = 0;
    bool ok = true;
    if (dialog->extended) {
        ok = r.Skip(4) && r.U32(&dialog->helpId) && r.U32(&dialog->exStyle) && r.U32(&dialog->style);
    } else {
        ok = r.U32(&dialog->style) && r.U32(&dialog->exStyle);
    }
    ok = ok && r.U16(&count) && r.I16(&dialog->x) && r.I16(&dialog->y) && r.I16(&dialog->cx) && r.I16(&dialog->cy) &&
         r.NameOrNumber(&dialog->menu) && r.NameOrNumber(&dialog->windowClass) && r.Text(&dialog->title);
    if (!ok) return Fail(error, "dialog header runs past the template");
    if (dialog->style & kDsSetFont) {
        dialog->hasFont = true;
        ok = r.U16(&dialog->pointSize);
        if (dialog->extended) {
            uint8_t italic = 0;
            ok = ok && r.U16(&dialog->weight) && r.U8(&italic) && r.U8(&dialog->charset);
            dialog->italic = italic != 0;
        }
        ok = ok && r.Text(&dialog->typeface);
        if (!ok) return Fail(error, "dialog font runs past the template");
    }
    for (uint16_t i = 0; i < count; ++i) {
        DialogControl c;
        if (!r.AlignDword()) return Fail(error, "control " + std::to_string(i) + " missing");
        if (dialog->extended) {
            uint32_t id = 0;
            ok = r.U32(&c.helpId) && r.U32(&c.exStyle) && r.U32(&c.style) && r.I16(&c.x) && r.I16(&c.y) &&
                 r.I16(&c.cx) && r.I16(&c.cy) && r.U32(&id);
            c.id = static_cast<int32_t>(id);
        } else {
            int16_t id = 0;
            ok = r.U32(&c.style) && r.U32(&c.exStyle) && r.I16(&c.x) && r.I16(&c.y) && r.I16(&c.cx) &&
                 r.I16(&c.cy) && r.I16(&id);
            c.id = id;
        }
        uint16_t extra = 0;
        ok = ok && r.NameOrNumber(&c.windowClass) && r.NameOrNumber(&c.text) && r.U16(&extra);
        // Classic templates count the size word in the creation data; extended ones do not.
        if (ok && extra > 0) {
            const size_t bytes = dialog->extended ? extra : extra - 2u;
            ok = r.Bytes(bytes, &c.creationData);
        }
        if (!ok) return Fail(error, "control " + std::to_string(i) + " runs past the template");
        dialog->controls.push_back(std::move(c));
    }
    return true;
}

std::string ClassName(const ResourceName& windowClass) {
    static const char* const kPredefined[] = {"Button", "Edit", "Static", "ListBox", "ScrollBar", "ComboBox"};
    if (windowClass.isNumber) {
        if (windowClass.number >= 0x80 && windowClass.number <= 0x85) return kPredefined[windowClass.number - 0x80];
        std::string numbered = "#";
        numbered += std::to_string(windowClass.number);
        return numbered;
    }
    // Class names are compared without regard to case; resource compilers write "STATIC" as well.
    const std::string text = ToUtf8(windowClass.text);
    for (const char* name : kPredefined) {
        const std::string canonical = name;
        if (text.size() == canonical.size() &&
            std::equal(text.begin(), text.end(), canonical.begin(),
                       [](char a, char b) { return std::tolower(static_cast<unsigned char>(a)) ==
                                                   std::tolower(static_cast<unsigned char>(b)); })) {
            return canonical;
        }
    }
    return text;
}

bool ParseBitmap(const std::vector<uint8_t>& data, Bitmap* bitmap, std::string* error) {
    *bitmap = Bitmap{};
    Reader r(data);
    uint32_t headerSize = 0;
    uint16_t planes = 0;
    uint32_t compression = 0;
    uint32_t colorsUsed = 0;
    uint32_t width = 0;
    uint32_t height = 0;
    if (!r.U32(&headerSize) || headerSize < 40 || !r.U32(&width) || !r.U32(&height) || !r.U16(&planes) ||
        !r.U16(&bitmap->bitCount) || !r.U32(&compression) || !r.Skip(12) || !r.U32(&colorsUsed) ||
        !r.Seek(headerSize)) {
        return Fail(error, "bitmap header too short or not a BITMAPINFOHEADER");
    }
    if (compression != 0) return Fail(error, "compressed bitmaps are not read");
    const uint16_t bits = bitmap->bitCount;
    if (bits != 1 && bits != 4 && bits != 8 && bits != 24 && bits != 32) return Fail(error, "unsupported bit count");
    bitmap->width = static_cast<int32_t>(width);
    const int32_t signedHeight = static_cast<int32_t>(height);
    const bool topDown = signedHeight < 0;
    bitmap->height = topDown ? -signedHeight : signedHeight;
    // Far beyond any resource bitmap; keeps the sizes below from overflowing.
    if (bitmap->width <= 0 || bitmap->height <= 0 || bitmap->width > 16384 || bitmap->height > 16384) {
        return Fail(error, "bitmap size out of range");
    }
    if (bits <= 8) {
        const uint32_t entries = colorsUsed != 0 ? colorsUsed : (1u << bits);
        if (entries > 256) return Fail(error, "colour table too large");
        for (uint32_t i = 0; i < entries; ++i) {
            uint8_t b = 0, g = 0, rr = 0, reserved = 0;
            if (!r.U8(&b) || !r.U8(&g) || !r.U8(&rr) || !r.U8(&reserved)) return Fail(error, "colour table cut");
            bitmap->palette.push_back((static_cast<uint32_t>(rr) << 16) | (g << 8) | b);
        }
    }
    const size_t rowBytes = ((static_cast<size_t>(bitmap->width) * bits + 31) / 32) * 4;
    const size_t pixelStart = r.pos();
    if (rowBytes * bitmap->height > data.size() - pixelStart) return Fail(error, "pixels run past the bitmap");
    bitmap->pixels.resize(static_cast<size_t>(bitmap->width) * bitmap->height);
    for (int32_t row = 0; row < bitmap->height; ++row) {
        const uint8_t* line = data.data() + pixelStart + rowBytes * row;
        const int32_t y = topDown ? row : bitmap->height - 1 - row;
        for (int32_t x = 0; x < bitmap->width; ++x) {
            uint32_t colour = 0;
            if (bits <= 8) {
                const size_t bit = static_cast<size_t>(x) * bits;
                const uint32_t index = (line[bit / 8] >> (8 - bits - bit % 8)) & ((1u << bits) - 1);
                if (index >= bitmap->palette.size()) return Fail(error, "pixel outside the colour table");
                colour = bitmap->palette[index];
            } else {
                const uint8_t* p = line + static_cast<size_t>(x) * (bits / 8);
                colour = (static_cast<uint32_t>(p[2]) << 16) | (p[1] << 8) | p[0];
            }
            bitmap->pixels[static_cast<size_t>(y) * bitmap->width + x] = colour;
        }
    }
    return true;
}

namespace {

// One node of the version information tree: length, value length, type, key, value, children,
// each part aligned to four bytes from the start of the resource. The levels are fixed:
// VS_VERSION_INFO (with the fixed part), its StringFileInfo and VarFileInfo blocks, the string
// tables (keyed by language and code page), and their texts.
enum class VersionLevel { Root, Block, Table, Text };

bool ParseVersionNode(const std::vector<uint8_t>& data, size_t start, VersionLevel level, const std::string& table,
                      VersionInfo* info, size_t* end, std::string* error) {
    Reader r(data);
    uint16_t length = 0, valueLength = 0, type = 0;
    std::u16string key;
    if (!r.Seek(start) || !r.U16(&length) || !r.U16(&valueLength) || !r.U16(&type) || !r.Text(&key)) {
        return Fail(error, "version node cut");
    }
    if (length < 6 || start + length > data.size() || r.pos() > start + length) {
        return Fail(error, "version node length out of range");
    }
    *end = start + length;
    // The node's own range: nothing of it may be read past its length.
    Reader node(data.data(), start + length);
    node.Seek(r.pos());
    node.AlignDword();
    const std::string name = ToUtf8(key);

    VersionLevel childLevel = VersionLevel::Text;
    switch (level) {
        case VersionLevel::Root: {
            if (name != "VS_VERSION_INFO") return Fail(error, "not a VS_VERSION_INFO");
            if (valueLength < 52) return Fail(error, "fixed file information missing");
            uint32_t signature = 0, skip = 0;
            if (!node.U32(&signature) || signature != 0xFEEF04BD || !node.U32(&skip) ||
                !node.U32(&info->fileVersionHigh) || !node.U32(&info->fileVersionLow) ||
                !node.U32(&info->productVersionHigh) || !node.U32(&info->productVersionLow) || !node.U32(&skip) ||
                !node.U32(&info->fileFlags) || !node.U32(&info->fileOs) || !node.U32(&info->fileType) ||
                !node.Skip(valueLength - 40u)) {
                return Fail(error, "fixed file information cut");
            }
            childLevel = VersionLevel::Block;
            break;
        }
        case VersionLevel::Block:
            // Only the string tables are reported; the translation list of VarFileInfo is not.
            if (name != "StringFileInfo") return true;
            childLevel = VersionLevel::Table;
            break;
        case VersionLevel::Table:
            childLevel = VersionLevel::Text;
            break;
        case VersionLevel::Text: {
            // valueLength counts UTF-16 units, the terminator included; a text ends at its NUL.
            std::u16string value;
            for (uint16_t i = 0; i < valueLength; ++i) {
                uint16_t c = 0;
                if (!node.U16(&c)) return Fail(error, "version text cut");
                if (c == 0) break;
                value.push_back(static_cast<char16_t>(c));
            }
            info->texts.push_back({table, name, ToUtf8(value)});
            return true;
        }
    }
    while (node.AlignDword() && node.remaining() >= 6) {
        size_t childEnd = 0;
        const std::string childTable = level == VersionLevel::Table ? name : table;
        if (!ParseVersionNode(data, node.pos(), childLevel, childTable, info, &childEnd, error)) return false;
        if (childEnd > node.size()) return Fail(error, "version node runs past its parent");
        node.Seek(childEnd);
    }
    return true;
}

}  // namespace

bool ParseVersionInfo(const std::vector<uint8_t>& data, VersionInfo* info, std::string* error) {
    *info = VersionInfo{};
    size_t end = 0;
    return ParseVersionNode(data, 0, VersionLevel::Root, "", info, &end, error);
}

std::string VersionInfo::Value(const std::string& key) const {
    for (const Text& t : texts) {
        if (t.key == key) return t.value;
    }
    return "";
}

std::string ToUtf8(const std::u16string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        uint32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;  // a lone surrogate
        }
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (c >> 12)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (c >> 18)));
            out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

}  // namespace pe
