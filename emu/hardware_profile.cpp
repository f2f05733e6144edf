#include "emu/hardware_profile.h"

#include <cctype>
#include <cstdio>
#include <sstream>

#include "emu/profile_rules.h"

namespace emu {
namespace {

using nlohmann::json;
using profile_rules::Dotted;

// Defaults of the hardware sections: a Phoenix notebook with the legacy controller, a mouse and a
// touchpad, one ATA disk without security. Numbers are decimal here; a profile may write them as
// "0x..." texts.
const char* const kHardwareDefaults = R"({
  "accessDevices": {
    "qtv": false,
    "memioVxd": true
  },
  "services": {
    "addmem": {
      "state": "absent",
      "imagePath": "C:\\Windows\\System32\\drivers\\ADDMEM.SYS"
    }
  },
  "bios": {
    "vendor": "phoenix",
    "model": "R580",
    "partNumber": "047",
    "version": "07RK",
    "amiVersion": 0
  },
  "dmi": {
    "biosVendor": "Phoenix",
    "biosVersion": "P07RK.012",
    "biosReleaseDate": "03/15/2011",
    "manufacturer": "Korvane",
    "product": "R580",
    "systemVersion": "Not Applicable",
    "serial": "KV580A1234567",
    "biosFlag": "000A000000000000",
    "purchaseDate": "00/00/0000",
    "entryPoint": 989824,
    "tableAddress": 991232
  },
  "smi": {
    "present": true,
    "commandPort": 178,
    "firstCommand": 142,
    "secondCommand": 143,
    "thirdCommand": 144,
    "bufferSegment": 40704,
    "bufferOffset": 256,
    "gate": 38,
    "function4": "model",
    "model": null
  },
  "ec": {
    "chipId2E": null,
    "chipId6C2": null,
    "device9Active": false,
    "device9Base": 1664,
    "mailboxCommand": 0,
    "ram": {"0xE887": 64},
    "pendingByte": null
  },
  "keyboardController": {
    "commandByte": 71,
    "output": null,
    "busyReads": 1
  },
  "cmos": {
    "fill": 90,
    "standard": {},
    "extended": {}
  },
  "pci": {
    "pmBase": 1025,
    "smiControl": 1
  },
  "flash": {
    "size": 2097152,
    "image": null
  },
  "memory": {
    "patches": []
  },
  "devices": [
    {"class": "Mouse", "description": "PS/2 Compatible Mouse"},
    {"class": "Mouse", "description": "Touchpad"},
    {"class": "Keyboard", "description": "Standard PS/2 Keyboard"},
    {"class": "DiskDrive", "description": "SATA Disk Device"}
  ],
  "drives": [
    {"kind": "ata", "model": "SATA Disk Device"}
  ],
  "faults": {
    "kbcInputNeverClears": false,
    "kbcNeverPresentsOutput": false,
    "mailboxNeverClears": false,
    "smiNeverCompletes": false,
    "dmiEntryPointMissing": false,
    "dmiMissingTypes": [],
    "rejectRequests": "none",
    "rejectRequestsCount": null,
    "deviceOpenFailures": 0,
    "deviceOpensBeforeFailures": 0,
    "scmAccessDenied": false,
    "serviceStartFails": false
  },
  "tools": {
    "phoenix": {"exitCode": null, "crash": false},
    "micom": {"exitCode": null, "crash": false},
    "ami": {"exitCode": null, "crash": false}
  }
})";

// Defaults of one element of the "devices" and "drives" arrays.
const char* const kDeviceDefaults = R"({"class": null, "description": "", "status": 25174026, "problem": 0,
  "enabled": true, "change": "accepts", "statusFails": false})";
const char* const kDriveDefaults = R"({"kind": "ata", "securityEnabled": false, "word0": null, "word128": null,
  "model": "Disk Device", "smart": true})";

enum class Kind {
    Bool,
    Number,          // unsigned up to max, as a number or a "0x..." text
    OptionalNumber,  // null or Number
    Choice,          // one of `choices`, separated by '|'
    IdText,          // printable ASCII of min..max characters
    DmiText,         // printable ASCII, up to 64 characters (empty allowed)
    WindowsFile,     // absolute path of a file on drive C:
    OptionalText,
    FlashSize,       // 1 MiB or 2 MiB
    ByteMap,         // object of address: byte, addresses up to max
    KbcByte,         // null or {"side": "keyboard"|"auxiliary", "value": byte}
    TypeList,        // array of DMI types (bytes)
    Patches,         // array of {"address", "text"|"hex"}
    Devices,         // array of present devices
    Drives,          // array of physical drives (null: absent)
    ExitCode,        // null or a 32-bit exit code, signed (-120) or unsigned (a number or "0x..." text)
};

struct FieldRule {
    const char* pointer;
    Kind kind;
    uint64_t max;
    const char* choices;
    uint64_t min;
};

constexpr FieldRule kFields[] = {
    {"/accessDevices/qtv", Kind::Bool, 0, nullptr},
    {"/accessDevices/memioVxd", Kind::Bool, 0, nullptr},
    {"/services/addmem/state", Kind::Choice, 0, "absent|running|stale"},
    {"/services/addmem/imagePath", Kind::WindowsFile, 0, nullptr},
    {"/bios/vendor", Kind::Choice, 0, "phoenix|ami"},
    {"/bios/model", Kind::IdText, 5, nullptr, 4},
    {"/bios/partNumber", Kind::IdText, 3, nullptr, 3},
    {"/bios/version", Kind::IdText, 5, nullptr, 4},
    {"/bios/amiVersion", Kind::Number, 99999999, nullptr},
    {"/dmi/biosVendor", Kind::DmiText, 0, nullptr},
    {"/dmi/biosVersion", Kind::DmiText, 0, nullptr},
    {"/dmi/biosReleaseDate", Kind::DmiText, 0, nullptr},
    {"/dmi/manufacturer", Kind::DmiText, 0, nullptr},
    {"/dmi/product", Kind::DmiText, 0, nullptr},
    {"/dmi/systemVersion", Kind::DmiText, 0, nullptr},
    {"/dmi/serial", Kind::DmiText, 0, nullptr},
    {"/dmi/biosFlag", Kind::DmiText, 0, nullptr},
    {"/dmi/purchaseDate", Kind::DmiText, 0, nullptr},
    {"/dmi/entryPoint", Kind::Number, 0xFFFF1, nullptr, 0xF0000},
    {"/dmi/tableAddress", Kind::Number, 0xFFFFF, nullptr},
    {"/smi/present", Kind::Bool, 0, nullptr},
    {"/smi/commandPort", Kind::Number, 0xFFFF, nullptr},
    {"/smi/firstCommand", Kind::Number, 0xFF, nullptr},
    {"/smi/secondCommand", Kind::Number, 0xFF, nullptr},
    {"/smi/thirdCommand", Kind::Number, 0xFF, nullptr},
    {"/smi/bufferSegment", Kind::Number, 0xFFFF, nullptr},
    {"/smi/bufferOffset", Kind::Number, 0xFFFF, nullptr},
    {"/smi/gate", Kind::Number, 0xFF, nullptr},
    {"/smi/function4", Kind::Choice, 0, "model|none"},
    {"/smi/model", Kind::OptionalText, 0, nullptr},
    {"/ec/chipId2E", Kind::OptionalNumber, 0xFF, nullptr},
    {"/ec/chipId6C2", Kind::OptionalNumber, 0xFF, nullptr},
    {"/ec/device9Active", Kind::Bool, 0, nullptr},
    {"/ec/device9Base", Kind::Number, 0xFFFE, nullptr},
    {"/ec/mailboxCommand", Kind::Number, 0xFF, nullptr},
    {"/ec/ram", Kind::ByteMap, 0xFFFF, nullptr},
    {"/ec/pendingByte", Kind::KbcByte, 0, nullptr},
    {"/keyboardController/commandByte", Kind::Number, 0xFF, nullptr},
    {"/keyboardController/output", Kind::KbcByte, 0, nullptr},
    {"/keyboardController/busyReads", Kind::Number, 100, nullptr},
    {"/cmos/fill", Kind::Number, 0xFF, nullptr},
    {"/cmos/standard", Kind::ByteMap, 0x7F, nullptr},
    {"/cmos/extended", Kind::ByteMap, 0x7F, nullptr},
    {"/pci/pmBase", Kind::Number, 0xFFFFFFFF, nullptr},
    {"/pci/smiControl", Kind::Number, 0xFFFF, nullptr},
    {"/flash/size", Kind::FlashSize, 0, nullptr},
    {"/flash/image", Kind::OptionalText, 0, nullptr},
    {"/memory/patches", Kind::Patches, 0, nullptr},
    {"/devices", Kind::Devices, 0, nullptr},
    {"/drives", Kind::Drives, 0, nullptr},
    {"/faults/kbcInputNeverClears", Kind::Bool, 0, nullptr},
    {"/faults/kbcNeverPresentsOutput", Kind::Bool, 0, nullptr},
    {"/faults/mailboxNeverClears", Kind::Bool, 0, nullptr},
    {"/faults/smiNeverCompletes", Kind::Bool, 0, nullptr},
    {"/faults/dmiEntryPointMissing", Kind::Bool, 0, nullptr},
    {"/faults/dmiMissingTypes", Kind::TypeList, 0, nullptr},
    {"/faults/rejectRequests", Kind::Choice, 0, "none|all|ports"},
    {"/faults/rejectRequestsCount", Kind::OptionalNumber, 0xFFFFFFFF, nullptr},
    {"/faults/deviceOpenFailures", Kind::Number, 0xFFFFFFFF, nullptr},
    {"/faults/deviceOpensBeforeFailures", Kind::Number, 0xFFFFFFFF, nullptr},
    {"/faults/scmAccessDenied", Kind::Bool, 0, nullptr},
    {"/faults/serviceStartFails", Kind::Bool, 0, nullptr},
    {"/tools/phoenix/exitCode", Kind::ExitCode, 0, nullptr},
    {"/tools/phoenix/crash", Kind::Bool, 0, nullptr},
    {"/tools/micom/exitCode", Kind::ExitCode, 0, nullptr},
    {"/tools/micom/crash", Kind::Bool, 0, nullptr},
    {"/tools/ami/exitCode", Kind::ExitCode, 0, nullptr},
    {"/tools/ami/crash", Kind::Bool, 0, nullptr},
};

bool NumberValue(const json& v, uint64_t* out) {
    if (v.is_number_unsigned()) {
        *out = v.get<uint64_t>();
        return true;
    }
    if (v.is_number_integer()) {
        if (v.get<int64_t>() < 0) return false;
        *out = static_cast<uint64_t>(v.get<int64_t>());
        return true;
    }
    if (!v.is_string()) return false;
    std::string t = v.get<std::string>();
    if (t.size() < 3 || t.size() > 18 || t[0] != '0' || (t[1] != 'x' && t[1] != 'X')) return false;
    uint64_t n = 0;
    for (size_t i = 2; i < t.size(); ++i) {
        char c = static_cast<char>(std::tolower(static_cast<unsigned char>(t[i])));
        if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
        n = n * 16 + static_cast<uint64_t>(c <= '9' ? c - '0' : c - 'a' + 10);
    }
    *out = n;
    return true;
}

bool Printable(const std::string& t) {
    for (unsigned char c : t)
        if (c < 0x20 || c > 0x7E) return false;
    return true;
}

std::string NumberRange(uint64_t min, uint64_t max) {
    std::ostringstream s;
    s << "expected a number from 0x" << std::hex << std::uppercase << min << " to 0x" << max
      << " (a number or a \"0x...\" text)";
    return s.str();
}

void CheckKbcByte(const json& v, const std::string& name, json* out, std::vector<std::string>* errors) {
    if (v.is_null()) {
        *out = v;
        return;
    }
    uint64_t n = 0;
    if (!v.is_object() || !v.contains("side") || !v.contains("value") || v.size() != 2 ||
        (v["side"] != "keyboard" && v["side"] != "auxiliary") || !NumberValue(v["value"], &n) || n > 0xFF)
        return errors->push_back(name + ": expected null or {\"side\": \"keyboard\" or \"auxiliary\", \"value\": a byte}");
    *out = json{{"side", v["side"]}, {"value", n}};
}

void CheckByteMap(const json& v, const std::string& name, uint64_t maxAddress, json* out,
                  std::vector<std::string>* errors) {
    if (!v.is_object()) return errors->push_back(name + ": expected an object of \"0xADDRESS\": byte");
    json result = json::object();
    for (auto it = v.begin(); it != v.end(); ++it) {
        uint64_t address = 0, value = 0;
        if (!NumberValue(json(it.key()), &address) || address > maxAddress) {
            errors->push_back(name + ": \"" + it.key() + "\" is not an address (\"0x...\") up to " + std::to_string(maxAddress));
            continue;
        }
        if (!NumberValue(it.value(), &value) || value > 0xFF) {
            errors->push_back(name + "." + it.key() + ": expected a byte");
            continue;
        }
        char key[16];
        std::snprintf(key, sizeof key, "0x%04llX", static_cast<unsigned long long>(address));
        result[key] = value;
    }
    *out = result;
}

void CheckPatches(const json& v, const std::string& name, json* out, std::vector<std::string>* errors) {
    if (!v.is_array()) return errors->push_back(name + ": expected an array of {\"address\", \"text\" or \"hex\"}");
    json result = json::array();
    for (size_t i = 0; i < v.size(); ++i) {
        std::string at = name + "[" + std::to_string(i) + "]";
        const json& p = v[i];
        uint64_t address = 0;
        if (!p.is_object() || !p.contains("address") || !NumberValue(p["address"], &address) || address > 0xFFFFF) {
            errors->push_back(at + ": expected an \"address\" in the first MiB");
            continue;
        }
        std::string bytes;
        bool ok = p.size() == 2;
        if (ok && p.contains("text") && p["text"].is_string()) {
            bytes = p["text"].get<std::string>();
        } else if (ok && p.contains("hex") && p["hex"].is_string()) {
            std::string h = p["hex"].get<std::string>();
            ok = h.size() % 2 == 0;
            for (size_t k = 0; ok && k < h.size(); k += 2) {
                uint64_t b = 0;
                ok = NumberValue(json("0x" + h.substr(k, 2)), &b);
                bytes.push_back(static_cast<char>(b));
            }
        } else {
            ok = false;
        }
        if (!ok || bytes.empty() || address + bytes.size() > 0x100000) {
            errors->push_back(at + ": expected one non-empty \"text\" or \"hex\" (\"5F444D495F\") that ends within the first MiB");
            continue;
        }
        std::string hs;
        for (unsigned char c : bytes) {
            char b[3];
            std::snprintf(b, sizeof b, "%02X", c);
            hs += b;
        }
        result.push_back(json{{"address", address}, {"hex", hs}});
    }
    *out = result;
}

void CheckDevices(const json& v, const std::string& name, json* out, std::vector<std::string>* errors) {
    if (!v.is_array()) return errors->push_back(name + ": expected an array of devices");
    json result = json::array();
    for (size_t i = 0; i < v.size(); ++i) {
        std::string at = name + "[" + std::to_string(i) + "]";
        if (!v[i].is_object()) {
            errors->push_back(at + ": expected an object");
            continue;
        }
        json d = json::parse(kDeviceDefaults);
        for (auto it = v[i].begin(); it != v[i].end(); ++it) {
            const std::string& k = it.key();
            const json& x = it.value();
            uint64_t n = 0;
            if (k == "class") {
                if (!x.is_null() && !x.is_string()) errors->push_back(at + ".class: expected a text or null (no class)");
                else d[k] = x;
            } else if (k == "description") {
                if (!x.is_string()) errors->push_back(at + ".description: expected a text");
                else d[k] = x;
            } else if (k == "status" || k == "problem") {
                if (!NumberValue(x, &n) || n > 0xFFFFFFFF) errors->push_back(at + "." + k + ": expected a 32-bit number");
                else d[k] = n;
            } else if (k == "enabled" || k == "statusFails") {
                if (!x.is_boolean()) errors->push_back(at + "." + k + ": expected true or false");
                else d[k] = x;
            } else if (k == "change") {
                if (x != "accepts" && x != "refused" && x != "fails")
                    errors->push_back(at + ".change: expected \"accepts\", \"refused\" or \"fails\"");
                else d[k] = x;
            } else {
                errors->push_back(at + "." + k +
                                  ": unknown field (a device has class, description, status, problem, enabled, change, statusFails)");
            }
        }
        result.push_back(d);
    }
    *out = result;
}

void CheckDrives(const json& v, const std::string& name, json* out, std::vector<std::string>* errors) {
    if (!v.is_array()) return errors->push_back(name + ": expected an array of drives (null: no drive)");
    json result = json::array();
    for (size_t i = 0; i < v.size(); ++i) {
        std::string at = name + "[" + std::to_string(i) + "]";
        if (v[i].is_null()) {
            result.push_back(nullptr);
            continue;
        }
        if (!v[i].is_object()) {
            errors->push_back(at + ": expected an object or null (no drive)");
            continue;
        }
        json d = json::parse(kDriveDefaults);
        for (auto it = v[i].begin(); it != v[i].end(); ++it) {
            const std::string& k = it.key();
            const json& x = it.value();
            uint64_t n = 0;
            if (k == "kind") {
                if (x != "ata" && x != "atapi") errors->push_back(at + ".kind: expected \"ata\" or \"atapi\"");
                else d[k] = x;
            } else if (k == "securityEnabled" || k == "smart") {
                if (!x.is_boolean()) errors->push_back(at + "." + k + ": expected true or false");
                else d[k] = x;
            } else if (k == "word0" || k == "word128") {
                if (x.is_null()) d[k] = x;
                else if (!NumberValue(x, &n) || n > 0xFFFF) errors->push_back(at + "." + k + ": expected null or a 16-bit word");
                else d[k] = n;
            } else if (k == "model") {
                if (!x.is_string() || !Printable(x.get<std::string>()) || x.get<std::string>().size() > 40)
                    errors->push_back(at + ".model: expected printable ASCII of at most 40 characters");
                else d[k] = x;
            } else {
                errors->push_back(at + "." + k +
                                  ": unknown field (a drive has kind, securityEnabled, word0, word128, model, smart)");
            }
        }
        result.push_back(d);
    }
    *out = result;
}

void CheckField(const FieldRule& rule, const json& v, json* out, std::vector<std::string>* errors) {
    std::string name = Dotted(rule.pointer);
    uint64_t n = 0;
    switch (rule.kind) {
        case Kind::Bool:
            if (!v.is_boolean()) return errors->push_back(name + ": expected true or false");
            *out = v;
            return;
        case Kind::OptionalNumber:
            if (v.is_null()) {
                *out = v;
                return;
            }
            [[fallthrough]];
        case Kind::Number:
            if (!NumberValue(v, &n) || n > rule.max || n < rule.min)
                return errors->push_back(name + ": " + NumberRange(rule.min, rule.max) +
                                         (rule.kind == Kind::OptionalNumber ? " or null" : ""));
            *out = n;
            return;
        case Kind::Choice: {
            std::string choices = rule.choices;
            std::stringstream ss(choices);
            if (v.is_string())
                for (std::string word; std::getline(ss, word, '|');)
                    if (word == v.get<std::string>()) {
                        *out = v;
                        return;
                    }
            std::string quoted = "\"" + choices + "\"";
            for (size_t p; (p = quoted.find('|')) != std::string::npos;) quoted.replace(p, 1, "\" or \"");
            return errors->push_back(name + ": expected " + quoted);
        }
        case Kind::IdText:
            if (!v.is_string() || !Printable(v.get<std::string>()) || v.get<std::string>().size() < rule.min ||
                v.get<std::string>().size() > rule.max)
                return errors->push_back(name + ": expected " + std::to_string(rule.min) +
                                         (rule.min == rule.max ? "" : " or " + std::to_string(rule.max)) +
                                         " printable ASCII characters");
            *out = v;
            return;
        case Kind::DmiText:
            if (!v.is_string() || !Printable(v.get<std::string>()) || v.get<std::string>().size() > 64)
                return errors->push_back(name + ": expected printable ASCII of at most 64 characters");
            *out = v;
            return;
        case Kind::WindowsFile: {
            std::string p = v.is_string() ? v.get<std::string>() : "";
            if (p.size() < 4 || (p[0] != 'C' && p[0] != 'c') || p[1] != ':' || p[2] != '\\' || p.back() == '\\')
                return errors->push_back(name + ": expected the absolute path of a file on drive C:");
            *out = v;
            return;
        }
        case Kind::OptionalText:
            if (!v.is_null() && !v.is_string()) return errors->push_back(name + ": expected a text or null");
            *out = v;
            return;
        case Kind::FlashSize:
            if (!NumberValue(v, &n) || (n != 0x100000 && n != 0x200000))
                return errors->push_back(name + ": expected 1048576 (1 MiB) or 2097152 (2 MiB)");
            *out = n;
            return;
        case Kind::ByteMap:
            return CheckByteMap(v, name, rule.max, out, errors);
        case Kind::KbcByte:
            return CheckKbcByte(v, name, out, errors);
        case Kind::TypeList:
            if (!v.is_array()) return errors->push_back(name + ": expected an array of DMI types");
            for (const json& t : v)
                if (!NumberValue(t, &n) || n > 0xFF) return errors->push_back(name + ": a DMI type is a byte");
            *out = json::array();
            for (const json& t : v) {
                NumberValue(t, &n);
                out->push_back(n);
            }
            return;
        case Kind::Patches:
            return CheckPatches(v, name, out, errors);
        case Kind::Devices:
            return CheckDevices(v, name, out, errors);
        case Kind::Drives:
            return CheckDrives(v, name, out, errors);
        case Kind::ExitCode:
            if (v.is_null()) {
                *out = v;
            } else if (v.is_number_integer() && !v.is_number_unsigned() && v.get<int64_t>() < 0) {
                if (v.get<int64_t>() < INT32_MIN) return errors->push_back(name + ": expected null or a 32-bit exit code");
                *out = v;
            } else if (NumberValue(v, &n) && n <= 0xFFFFFFFF) {
                *out = static_cast<int64_t>(static_cast<int32_t>(static_cast<uint32_t>(n)));
            } else {
                errors->push_back(name + ": expected null or a 32-bit exit code (-120, 1, \"0x80000001\")");
            }
            return;
    }
}

}  // namespace

const json& HardwareProfileDefaults() {
    static const json defaults = [] {
        json d = json::parse(kHardwareDefaults);
        // Complete the default arrays' elements as a profile's would be.
        std::vector<std::string> errors;
        json devices, drives;
        CheckDevices(d["devices"], "devices", &devices, &errors);
        CheckDrives(d["drives"], "drives", &drives, &errors);
        d["devices"] = devices;
        d["drives"] = drives;
        return d;
    }();
    return defaults;
}

bool IsHardwareSection(const std::string& key) { return HardwareProfileDefaults().contains(key); }

void CheckHardwareSection(const std::string& key, const json& given, json* completed, std::vector<std::string>* errors) {
    json root = json::object();
    root[key] = *completed;
    std::string p = "/" + key;
    if (const FieldRule* rule = profile_rules::FindRule(kFields, p)) {
        CheckField(*rule, given, &root[key], errors);
    } else if (!given.is_object()) {
        errors->push_back(key + ": expected an object");
    } else {
        profile_rules::WalkSection(kFields, given, p, &root, errors, CheckField);
    }
    *completed = root[key];
}

}  // namespace emu
