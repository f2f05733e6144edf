// Builds small PE files byte by byte for the PE reader's tests: a header in either form (PE32 or
// PE32+), a data section, and a resource section laid out from a list of leaves. The tests
// then bend single fields to make the files the reader must refuse.
#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace pe_test {

inline void Put16(std::vector<uint8_t>* b, size_t at, uint16_t v) {
    (*b)[at] = static_cast<uint8_t>(v);
    (*b)[at + 1] = static_cast<uint8_t>(v >> 8);
}
inline void Put32(std::vector<uint8_t>* b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) (*b)[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void Add16(std::vector<uint8_t>* b, uint16_t v) {
    b->push_back(static_cast<uint8_t>(v));
    b->push_back(static_cast<uint8_t>(v >> 8));
}
inline void Add32(std::vector<uint8_t>* b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b->push_back(static_cast<uint8_t>(v >> (8 * i)));
}
inline void AddText16(std::vector<uint8_t>* b, const std::u16string& text, bool terminate = true) {
    for (char16_t c : text) Add16(b, c);
    if (terminate) Add16(b, 0);
}

struct Key {
    uint16_t number = 0;
    std::u16string text;  // a name when not empty
    bool operator<(const Key& o) const {
        // Named entries come before numbered ones in a resource directory.
        if (text.empty() != o.text.empty()) return !text.empty();
        return text.empty() ? number < o.number : text < o.text;
    }
};

struct Leaf {
    Key type;
    Key name;
    uint16_t language = 0x409;
    std::vector<uint8_t> data;
};

constexpr uint32_t kResourceRva = 0x2000;
constexpr uint32_t kDataRva = 0x1000;
constexpr uint32_t kFileAlignment = 0x200;

// The resource section as a linker lays it out: the three directory levels, the data entries,
// the names, then the data. Offsets inside the tree count from the section's start.
inline std::vector<uint8_t> BuildResourceSection(const std::vector<Leaf>& leaves) {
    std::map<Key, std::map<Key, std::map<uint16_t, const Leaf*>>> tree;
    for (const Leaf& leaf : leaves) tree[leaf.type][leaf.name][leaf.language] = &leaf;

    auto dirSize = [](size_t entries) { return 16 + 8 * entries; };
    size_t size = dirSize(tree.size());
    for (auto& [type, names] : tree) {
        size += dirSize(names.size());
        for (auto& [name, langs] : names) size += dirSize(langs.size());
    }
    const size_t dataEntries = size;
    size += 16 * leaves.size();
    const size_t namesStart = size;
    std::vector<uint8_t> names;
    std::map<std::u16string, uint32_t> nameOffset;
    auto addName = [&](const Key& k) {
        if (k.text.empty() || nameOffset.count(k.text)) return;
        nameOffset[k.text] = static_cast<uint32_t>(namesStart + names.size());
        Add16(&names, static_cast<uint16_t>(k.text.size()));
        AddText16(&names, k.text, false);
    };
    for (auto& [type, byName] : tree) {
        addName(type);
        for (auto& [name, langs] : byName) addName(name);
    }
    size += names.size();
    size = (size + 3) & ~size_t{3};

    std::vector<uint8_t> out(size, 0);
    std::copy(names.begin(), names.end(), out.begin() + namesStart);
    auto nameField = [&](const Key& k) -> uint32_t {
        return k.text.empty() ? k.number : (0x80000000u | nameOffset[k.text]);
    };
    auto writeDir = [&](size_t at, const auto& entries) {
        uint16_t named = 0, numbered = 0;
        for (auto& e : entries) (e.first.text.empty() ? numbered : named)++;
        Put16(&out, at + 12, named);
        Put16(&out, at + 14, numbered);
    };

    size_t next = dirSize(tree.size());
    size_t nextData = dataEntries;
    writeDir(0, tree);
    size_t rootEntry = 16;
    for (auto& [type, byName] : tree) {
        const size_t typeDir = next;
        next += dirSize(byName.size());
        Put32(&out, rootEntry, nameField(type));
        Put32(&out, rootEntry + 4, 0x80000000u | static_cast<uint32_t>(typeDir));
        rootEntry += 8;
        writeDir(typeDir, byName);
        size_t typeEntry = typeDir + 16;
        for (auto& [name, langs] : byName) {
            const size_t nameDir = next;
            next += dirSize(langs.size());
            Put32(&out, typeEntry, nameField(name));
            Put32(&out, typeEntry + 4, 0x80000000u | static_cast<uint32_t>(nameDir));
            typeEntry += 8;
            Put16(&out, nameDir + 14, static_cast<uint16_t>(langs.size()));
            size_t langEntry = nameDir + 16;
            for (auto& [language, leaf] : langs) {
                Put32(&out, langEntry, language);
                Put32(&out, langEntry + 4, static_cast<uint32_t>(nextData));
                langEntry += 8;
                const uint32_t dataAt = static_cast<uint32_t>(out.size());
                out.insert(out.end(), leaf->data.begin(), leaf->data.end());
                while (out.size() % 4 != 0) out.push_back(0);
                Put32(&out, nextData, kResourceRva + dataAt);
                Put32(&out, nextData + 4, static_cast<uint32_t>(leaf->data.size()));
                nextData += 16;
            }
        }
    }
    return out;
}

struct PeOptions {
    bool pe32Plus = false;
    uint16_t machine = 0x014C;
    uint16_t subsystem = 2;
    std::vector<uint8_t> data = {'d', 'a', 't', 'a', 0};
    std::vector<uint8_t> resources;  // the resource section; none when empty
};

struct BuiltPe {
    std::vector<uint8_t> bytes;
    size_t dataDirectoryOffset;  // file offset of the resource data directory entry
    size_t resourceOffset;       // file offset of the resource section
    size_t sectionTableOffset;
};

inline BuiltPe BuildPe(const PeOptions& o) {
    BuiltPe pe;
    std::vector<uint8_t>& b = pe.bytes;
    b.assign(0x40, 0);
    Put16(&b, 0, 0x5A4D);
    Put32(&b, 0x3C, 0x40);
    Add32(&b, 0x4550);
    const uint16_t sections = o.resources.empty() ? 1 : 2;
    const uint16_t optionalSize = o.pe32Plus ? 240 : 224;
    Add16(&b, o.machine);
    Add16(&b, sections);
    Add32(&b, 0);
    Add32(&b, 0);
    Add32(&b, 0);
    Add16(&b, optionalSize);
    Add16(&b, 0x0102);
    const size_t opt = b.size();
    b.resize(opt + optionalSize, 0);
    Put16(&b, opt, o.pe32Plus ? 0x20B : 0x10B);
    Put16(&b, opt + 68, o.subsystem);
    const size_t count = opt + (o.pe32Plus ? 108 : 92);
    Put32(&b, count, 16);
    pe.dataDirectoryOffset = count + 4 + 8 * 2;
    pe.sectionTableOffset = b.size();
    b.resize(b.size() + 40 * sections, 0);

    auto align = [](size_t v) { return (v + kFileAlignment - 1) & ~size_t{kFileAlignment - 1}; };
    auto section = [&](int index, const char* name, uint32_t rva, const std::vector<uint8_t>& body,
                       uint32_t characteristics) {
        const size_t header = pe.sectionTableOffset + 40 * index;
        for (int i = 0; name[i] != 0; ++i) b[header + i] = static_cast<uint8_t>(name[i]);
        const size_t at = align(b.size());
        const size_t rawSize = align(body.size());
        Put32(&b, header + 8, static_cast<uint32_t>(body.size()));
        Put32(&b, header + 12, rva);
        Put32(&b, header + 16, static_cast<uint32_t>(rawSize));
        Put32(&b, header + 20, static_cast<uint32_t>(at));
        Put32(&b, header + 36, characteristics);
        b.resize(at + rawSize, 0);
        std::copy(body.begin(), body.end(), b.begin() + at);
        return at;
    };
    section(0, ".data", kDataRva, o.data, 0xC0000040);
    if (!o.resources.empty()) {
        pe.resourceOffset = section(1, ".rsrc", kResourceRva, o.resources, 0x40000040);
        Put32(&b, pe.dataDirectoryOffset, kResourceRva);
        Put32(&b, pe.dataDirectoryOffset + 4, static_cast<uint32_t>(o.resources.size()));
    } else {
        pe.resourceOffset = 0;
    }
    return pe;
}

// A string block as resource data: 16 counted strings.
inline std::vector<uint8_t> StringBlock(const std::map<int, std::u16string>& strings) {
    std::vector<uint8_t> out;
    for (int i = 0; i < 16; ++i) {
        auto it = strings.find(i);
        const std::u16string text = it == strings.end() ? u"" : it->second;
        Add16(&out, static_cast<uint16_t>(text.size()));
        AddText16(&out, text, false);
    }
    return out;
}

}  // namespace pe_test
