#include "emu/profile.h"

#include "emu/hardware_profile.h"
#include "emu/profile_rules.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <sstream>
#include <vector>

namespace emu {
namespace {

using nlohmann::json;
using profile_rules::Dotted;

// Every field a profile may name, with its default. Sections are the objects on the way to a
// field; a name that is neither is refused, so that a misspelt field does not silently leave the
// default in force.
const char* const kDefaultProfileText = R"({
  "description": "",
  "windows": {
    "major": 10,
    "minor": 0,
    "build": 19045,
    "platform": "nt",
    "wow64": true,
    "hasIsWow64Process": true,
    "langId": 1033,
    "temp": "C:\\Users\\tech\\AppData\\Local\\Temp",
    "programPath": "C:\\Users\\tech\\Desktop\\romshell.exe",
    "currentDirectory": null,
    "freeBytes": 107374182400,
    "environment": {},
    "files": {},
    "links": {},
    "attacks": [],
    "timerPeriodUs": 1000,
    "tickCountStart": 3600000
  },
  "power": {
    "acLine": 1,
    "batteryPercent": 87
  },
  "desktop": {
    "windows": [],
    "dialogsFail": false
  },
  "answers": {
    "messageBoxes": [],
    "windowKeys": [],
    "dmiDialog": []
  }
})";

enum class Kind {
    Text,             // any string
    Unsigned,         // integer 0..max
    TimerPeriod,      // integer 1..max
    Choice,           // one of the words in `choices`, separated by '|'
    Bool,
    LangId,           // 0..0xFFFF, as a number or a "0x..." string
    ProgramPath,      // absolute path of a file on drive C:
    OptionalText,     // string or null
    OptionalCDir,     // null or an absolute path on drive C:
    AcLine,           // 0, 1, 255 or a truth value
    Battery,          // 0..100 or 255
    Environment,      // object of name: text
    Files,            // object of absolute path on drive C: -> text
    Links,            // object of absolute path on drive C: -> absolute folder path on drive C:
    Attacks,          // array of {"moment": folderMade|confirmation|beforeTool|serviceStart, "path": file on C:}
    MessageBoxAnswers,
    ForeignWindows,   // array of {"title": text}
    WindowKeys,       // array of {"key", "when", "afterMs", "dialog"}
    DialogAttempts,   // array of {"serial", "flag", "date", "press"}
};

struct FieldRule {
    const char* pointer;
    Kind kind;
    uint64_t max;
    const char* choices;
};

constexpr FieldRule kFields[] = {
    {"/description", Kind::Text, 0, nullptr},
    {"/windows/major", Kind::Unsigned, 255, nullptr},
    {"/windows/minor", Kind::Unsigned, 255, nullptr},
    {"/windows/build", Kind::Unsigned, 0xFFFF, nullptr},
    {"/windows/platform", Kind::Choice, 0, "nt|9x"},
    {"/windows/wow64", Kind::Bool, 0, nullptr},
    {"/windows/hasIsWow64Process", Kind::Bool, 0, nullptr},
    {"/windows/langId", Kind::LangId, 0xFFFF, nullptr},
    {"/windows/temp", Kind::OptionalText, 0, nullptr},
    {"/windows/programPath", Kind::ProgramPath, 0, nullptr},
    {"/windows/currentDirectory", Kind::OptionalCDir, 0, nullptr},
    {"/windows/freeBytes", Kind::Unsigned, UINT64_MAX, nullptr},
    {"/windows/environment", Kind::Environment, 0, nullptr},
    {"/windows/files", Kind::Files, 0, nullptr},
    {"/windows/links", Kind::Links, 0, nullptr},
    {"/windows/attacks", Kind::Attacks, 0, nullptr},
    {"/windows/timerPeriodUs", Kind::TimerPeriod, 1000000, nullptr},
    {"/windows/tickCountStart", Kind::Unsigned, 0xFFFFFFFF, nullptr},
    {"/power/acLine", Kind::AcLine, 0, nullptr},
    {"/power/batteryPercent", Kind::Battery, 0, nullptr},
    {"/desktop/windows", Kind::ForeignWindows, 0, nullptr},
    {"/desktop/dialogsFail", Kind::Bool, 0, nullptr},
    {"/answers/messageBoxes", Kind::MessageBoxAnswers, 0, nullptr},
    {"/answers/windowKeys", Kind::WindowKeys, 0, nullptr},
    {"/answers/dmiDialog", Kind::DialogAttempts, 0, nullptr},
};

bool IsAbsoluteOnC(const std::string& path) {
    return path.size() >= 3 && (path[0] == 'C' || path[0] == 'c') && path[1] == ':' &&
           (path[2] == '\\' || path[2] == '/');
}

bool HasBadPathCharacters(const std::string& path) {
    for (size_t i = 0; i < path.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(path[i]);
        if (c < 32 || c == '<' || c == '>' || c == '"' || c == '|' || c == '?' || c == '*') return true;
        if (c == ':' && i != 1) return true;
    }
    return false;
}

bool ParseHexWord(const std::string& text, uint64_t* value) {
    if (text.size() < 3 || text[0] != '0' || (text[1] != 'x' && text[1] != 'X')) return false;
    uint64_t v = 0;
    for (size_t i = 2; i < text.size(); ++i) {
        if (!std::isxdigit(static_cast<unsigned char>(text[i])) || i > 10) return false;
        char c = static_cast<char>(std::tolower(static_cast<unsigned char>(text[i])));
        v = v * 16 + static_cast<uint64_t>(c <= '9' ? c - '0' : c - 'a' + 10);
    }
    *value = v;
    return true;
}

const char* const kAnswerWords[] = {"ok", "cancel", "abort", "retry", "ignore", "yes", "no",
                                    "tryagain", "continue"};

bool IsAnswer(const json& v) {
    if (v.is_number_unsigned()) return v.get<uint64_t>() <= 0xFFFF;
    if (v.is_number_integer()) return v.get<int64_t>() >= 0 && v.get<int64_t>() <= 0xFFFF;
    if (!v.is_string()) return false;
    std::string word = v.get<std::string>();
    for (const char* w : kAnswerWords)
        if (word == w) return true;
    return false;
}

void CheckAnswers(const json& v, const std::string& name, std::vector<std::string>* errors) {
    if (!v.is_array()) {
        errors->push_back(name + ": expected an array of answers");
        return;
    }
    for (size_t i = 0; i < v.size(); ++i) {
        std::string at = name + "[" + std::to_string(i) + "]";
        const json& a = v[i];
        if (a.is_object()) {
            if (!a.contains("answer")) {
                errors->push_back(at + ": a matcher needs an \"answer\"");
                continue;
            }
            for (auto it = a.begin(); it != a.end(); ++it) {
                if (it.key() == "answer") {
                    if (!IsAnswer(it.value()))
                        errors->push_back(at + ".answer: expected \"ok\", \"cancel\", \"yes\", \"no\", "
                                               "\"abort\", \"retry\", \"ignore\" or a button number");
                } else if (it.key() == "caption" || it.key() == "text") {
                    if (!it.value().is_string()) errors->push_back(at + "." + it.key() + ": expected a string");
                } else {
                    errors->push_back(at + "." + it.key() +
                                      ": unknown field (a matcher has \"caption\", \"text\" and \"answer\")");
                }
            }
        } else if (!IsAnswer(a)) {
            errors->push_back(at + ": expected \"ok\", \"cancel\", \"yes\", \"no\", \"abort\", \"retry\", "
                                   "\"ignore\", a button number or a matcher object");
        }
    }
}

void CheckForeignWindows(const json& v, const std::string& name, std::vector<std::string>* errors) {
    if (!v.is_array()) {
        errors->push_back(name + ": expected an array of windows such as {\"title\": \"...\"}");
        return;
    }
    for (size_t i = 0; i < v.size(); ++i) {
        std::string at = name + "[" + std::to_string(i) + "]";
        if (!v[i].is_object() || !v[i].contains("title")) {
            errors->push_back(at + ": expected an object with a \"title\"");
            continue;
        }
        for (auto it = v[i].begin(); it != v[i].end(); ++it) {
            if (it.key() != "title")
                errors->push_back(at + "." + it.key() + ": unknown field (a window has \"title\")");
            else if (!it.value().is_string())
                errors->push_back(at + ".title: expected a string");
        }
    }
}

void CheckWindowKeys(const json& v, const std::string& name, std::vector<std::string>* errors) {
    if (!v.is_array()) {
        errors->push_back(name + ": expected an array of key presses");
        return;
    }
    for (size_t i = 0; i < v.size(); ++i) {
        std::string at = name + "[" + std::to_string(i) + "]";
        const json& k = v[i];
        if (!k.is_object() || !k.contains("key")) {
            errors->push_back(at + ": expected an object with a \"key\"");
            continue;
        }
        for (auto it = k.begin(); it != k.end(); ++it) {
            const json& value = it.value();
            if (it.key() == "key") {
                if (!value.is_string() || (value != "esc" && value != "enter"))
                    errors->push_back(at + ".key: expected \"esc\" or \"enter\"");
            } else if (it.key() == "when") {
                if (!value.is_string() || (value != "shown" && value != "drawn"))
                    errors->push_back(at + ".when: expected \"shown\" or \"drawn\"");
            } else if (it.key() == "afterMs") {
                if (!value.is_number_integer() || value.get<int64_t>() < 0 || value.get<int64_t>() > 3600000)
                    errors->push_back(at + ".afterMs: expected milliseconds from 0 to 3600000");
            } else if (it.key() == "dialog") {
                if (!value.is_number_integer() || value.get<int64_t>() < 0 || value.get<int64_t>() > 0xFFFF)
                    errors->push_back(at + ".dialog: expected a dialog template id");
            } else {
                errors->push_back(at + "." + it.key() +
                                  ": unknown field (a key press has \"key\", \"when\", \"afterMs\" and \"dialog\")");
            }
        }
    }
}

void CheckDialogAttempts(const json& v, const std::string& name, std::vector<std::string>* errors) {
    if (!v.is_array()) {
        errors->push_back(name + ": expected an array of attempts");
        return;
    }
    for (size_t i = 0; i < v.size(); ++i) {
        std::string at = name + "[" + std::to_string(i) + "]";
        const json& a = v[i];
        if (!a.is_object()) {
            errors->push_back(at + ": expected an object");
            continue;
        }
        for (auto it = a.begin(); it != a.end(); ++it) {
            const json& value = it.value();
            if (it.key() == "serial" || it.key() == "flag" || it.key() == "date") {
                if (!value.is_string()) errors->push_back(at + "." + it.key() + ": expected the text typed");
            } else if (it.key() == "press") {
                if (!value.is_string() || (value != "ok" && value != "cancel" && value != "close box"))
                    errors->push_back(at + ".press: expected \"ok\", \"cancel\" or \"close box\"");
            } else {
                errors->push_back(at + "." + it.key() +
                                  ": unknown field (an attempt has \"serial\", \"flag\", \"date\" and \"press\")");
            }
        }
    }
}

bool UnsignedValue(const json& v, uint64_t* out) {
    if (v.is_number_unsigned()) {
        *out = v.get<uint64_t>();
        return true;
    }
    if (v.is_number_integer() && v.get<int64_t>() >= 0) {
        *out = static_cast<uint64_t>(v.get<int64_t>());
        return true;
    }
    return false;
}

// Checks one field and writes its normalized value into *out.
void CheckField(const FieldRule& rule, const json& v, json* out, std::vector<std::string>* errors) {
    std::string name = Dotted(rule.pointer);
    uint64_t n = 0;
    switch (rule.kind) {
        case Kind::Text:
            if (!v.is_string()) return errors->push_back(name + ": expected a string");
            *out = v;
            return;
        case Kind::Unsigned:
            if (!UnsignedValue(v, &n) || n > rule.max)
                return errors->push_back(name + ": expected an unsigned integer up to " + std::to_string(rule.max));
            *out = n;
            return;
        case Kind::TimerPeriod:
            if (!UnsignedValue(v, &n) || n == 0 || n > rule.max)
                return errors->push_back(name + ": expected an unsigned integer from 1 to " + std::to_string(rule.max));
            *out = n;
            return;
        case Kind::Choice: {
            std::string choices = rule.choices;
            std::string quoted = "\"" + choices + "\"";
            for (size_t p; (p = quoted.find('|')) != std::string::npos;) quoted.replace(p, 1, "\" or \"");
            if (!v.is_string()) return errors->push_back(name + ": expected " + quoted);
            std::stringstream ss(choices);
            for (std::string word; std::getline(ss, word, '|');)
                if (word == v.get<std::string>()) {
                    *out = v;
                    return;
                }
            return errors->push_back(name + ": expected " + quoted + ", not \"" + v.get<std::string>() + "\"");
        }
        case Kind::Bool:
            if (!v.is_boolean()) return errors->push_back(name + ": expected true or false");
            *out = v;
            return;
        case Kind::LangId:
            if (v.is_string() ? !ParseHexWord(v.get<std::string>(), &n) : !UnsignedValue(v, &n))
                return errors->push_back(name + ": expected a language id (a number or \"0x0409\")");
            if (n > rule.max) return errors->push_back(name + ": a language id is 16 bits");
            *out = n;
            return;
        case Kind::ProgramPath: {
            if (!v.is_string()) return errors->push_back(name + ": expected a Windows path such as \"C:\\\\romshell.exe\"");
            std::string p = v.get<std::string>();
            if (!IsAbsoluteOnC(p) || p.size() < 4 || p.back() == '\\' || p.back() == '/')
                return errors->push_back(name + ": expected the absolute path of a file on drive C:, not \"" + p + "\"");
            if (HasBadPathCharacters(p)) return errors->push_back(name + ": \"" + p + "\" holds characters a Windows path cannot");
            *out = v;
            return;
        }
        case Kind::OptionalText:
            if (!v.is_null() && !v.is_string()) return errors->push_back(name + ": expected a string or null (not set)");
            *out = v;
            return;
        case Kind::OptionalCDir: {
            if (v.is_null()) {
                *out = v;
                return;
            }
            if (!v.is_string() || !IsAbsoluteOnC(v.get<std::string>()))
                return errors->push_back(name + ": expected null or an absolute folder path on drive C:");
            if (HasBadPathCharacters(v.get<std::string>()))
                return errors->push_back(name + ": the path holds characters a Windows path cannot");
            *out = v;
            return;
        }
        case Kind::AcLine:
            if (v.is_boolean()) {
                *out = v.get<bool>() ? 1 : 0;
                return;
            }
            if (!UnsignedValue(v, &n) || (n != 0 && n != 1 && n != 255))
                return errors->push_back(name + ": expected 0 (off line), 1 (on line), 255 (unknown) or a truth value");
            *out = n;
            return;
        case Kind::Battery:
            if (!UnsignedValue(v, &n) || (n > 100 && n != 255))
                return errors->push_back(name + ": expected 0 to 100 or 255 (unknown)");
            *out = n;
            return;
        case Kind::Environment:
            if (!v.is_object()) return errors->push_back(name + ": expected an object of variable names and texts");
            for (auto it = v.begin(); it != v.end(); ++it) {
                if (it.key().empty() || it.key().find('=') != std::string::npos)
                    errors->push_back(name + ": \"" + it.key() + "\" is not a variable name");
                else if (!it.value().is_string())
                    errors->push_back(name + "." + it.key() + ": expected a string");
            }
            *out = v;
            return;
        case Kind::Files:
            if (!v.is_object()) return errors->push_back(name + ": expected an object of paths and texts");
            for (auto it = v.begin(); it != v.end(); ++it) {
                const std::string& path = it.key();
                if (path.size() < 4 || (path[0] != 'C' && path[0] != 'c') || path[1] != ':' || path[2] != '\\')
                    errors->push_back(name + ": \"" + path + "\" is not a file path on drive C:");
                else if (!it.value().is_string())
                    errors->push_back(name + "." + path + ": expected a string");
            }
            *out = v;
            return;
        case Kind::Links:
            if (!v.is_object()) return errors->push_back(name + ": expected an object of paths and folder paths");
            for (auto it = v.begin(); it != v.end(); ++it) {
                if (!IsAbsoluteOnC(it.key()) || !it.value().is_string() || !IsAbsoluteOnC(it.value().get<std::string>()))
                    errors->push_back(name + ": \"" + it.key() + "\" must lead to a folder path on drive C:");
            }
            *out = v;
            return;
        case Kind::Attacks:
            if (!v.is_array()) return errors->push_back(name + ": expected an array of attacks");
            for (const json& a : v) {
                const std::string moment = a.is_object() ? a.value("moment", "") : "";
                if (moment != "folderMade" && moment != "confirmation" && moment != "beforeTool" &&
                    moment != "serviceStart")
                    errors->push_back(name + ": moment must be folderMade, confirmation, beforeTool or serviceStart");
                else if (!a["path"].is_string() || !IsAbsoluteOnC(a["path"].get<std::string>()) || a.size() != 2)
                    errors->push_back(name + ": an attack has a moment and a file path on drive C: and nothing else");
            }
            *out = v;
            return;
        case Kind::MessageBoxAnswers: {
            size_t before = errors->size();
            CheckAnswers(v, name, errors);
            if (errors->size() == before) *out = v;
            return;
        }
        case Kind::ForeignWindows: {
            size_t before = errors->size();
            CheckForeignWindows(v, name, errors);
            if (errors->size() == before) *out = v;
            return;
        }
        case Kind::WindowKeys: {
            size_t before = errors->size();
            CheckWindowKeys(v, name, errors);
            if (errors->size() == before) *out = v;
            return;
        }
        case Kind::DialogAttempts: {
            size_t before = errors->size();
            CheckDialogAttempts(v, name, errors);
            if (errors->size() == before) *out = v;
            return;
        }
    }
}

// Walks the profile as given: hardware sections go to their own checks, the rest to this table.
void Walk(const json& given, json* profile, std::vector<std::string>* errors) {
    for (auto it = given.begin(); it != given.end(); ++it) {
        if (IsHardwareSection(it.key())) {
            CheckHardwareSection(it.key(), it.value(), &(*profile)[it.key()], errors);
        } else {
            json field = json::object();
            field[it.key()] = it.value();
            profile_rules::WalkSection(kFields, field, "", profile, errors, CheckField);
        }
    }
}

}  // namespace

const json& DefaultProfile() {
    static const json defaults = [] {
        json d = json::parse(kDefaultProfileText);
        for (const auto& [key, value] : HardwareProfileDefaults().items()) d[key] = value;
        return d;
    }();
    return defaults;
}

bool CompleteProfile(const json& given, json* profile, std::string* error) {
    if (!given.is_object()) {
        *error = "a machine profile is a JSON object";
        return false;
    }
    json result = DefaultProfile();
    std::vector<std::string> errors;
    Walk(given, &result, &errors);
    if (errors.empty() && result["windows"]["platform"] == "9x") {
        // The 9x family has no 64-bit version and its kernel32 no IsWow64Process, whatever the
        // profile this one was patched from said.
        result["windows"]["wow64"] = false;
        result["windows"]["hasIsWow64Process"] = false;
    }
    if (!errors.empty()) {
        std::string text;
        for (const std::string& e : errors) text += (text.empty() ? "" : "\n") + e;
        *error = text;
        return false;
    }
    *profile = std::move(result);
    return true;
}

bool CompleteProfile(const std::string& profileJson, json* profile, std::string* error) {
    json given;
    try {
        given = json::parse(profileJson);
    } catch (const json::exception& e) {
        *error = std::string("not valid JSON: ") + e.what();
        return false;
    }
    return CompleteProfile(given, profile, error);
}

json MergeProfile(const json& base, const json& patch) {
    if (!base.is_object() || !patch.is_object()) return patch;
    json out = base;
    for (auto it = patch.begin(); it != patch.end(); ++it) {
        if (out.contains(it.key()))
            out[it.key()] = MergeProfile(out[it.key()], it.value());
        else
            out[it.key()] = it.value();
    }
    return out;
}

bool ReadTextFile(const std::string& path, std::string* text, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = "cannot read " + path;
        return false;
    }
    std::ostringstream ss;
    ss << in.rdbuf();
    *text = ss.str();
    return true;
}

}  // namespace emu
