#include "emu/winsys.h"

#include <vector>

#include "emu/winfs.h"
#include "emu/world.h"

namespace emu {
namespace {

using nlohmann::json;

// The buttons of a message box style (its low four bits), first button first.
std::vector<int> ButtonsOf(uint32_t style) {
    switch (style & 0xF) {
        case 1: return {kIdOk, kIdCancel};
        case 2: return {kIdAbort, kIdRetry, kIdIgnore};
        case 3: return {kIdYes, kIdNo, kIdCancel};
        case 4: return {kIdYes, kIdNo};
        case 5: return {kIdRetry, kIdCancel};
        case 6: return {kIdCancel, kIdTryAgain, kIdContinue};
        default: return {kIdOk};
    }
}

int ButtonOf(const json& answer) {
    if (answer.is_number()) return answer.get<int>();
    static const struct {
        const char* word;
        int id;
    } kWords[] = {{"ok", kIdOk},       {"cancel", kIdCancel}, {"abort", kIdAbort},
                  {"retry", kIdRetry}, {"ignore", kIdIgnore}, {"yes", kIdYes},
                  {"no", kIdNo},       {"tryagain", kIdTryAgain}, {"continue", kIdContinue}};
    std::string word = answer.get<std::string>();
    for (const auto& w : kWords)
        if (word == w.word) return w.id;
    return kIdOk;
}

bool Fits(const json& matcher, const std::string& caption, const std::string& text) {
    if (matcher.contains("caption") && matcher["caption"].get<std::string>() != caption) return false;
    if (matcher.contains("text") && text.find(matcher["text"].get<std::string>()) == std::string::npos) return false;
    return true;
}

}  // namespace

int ShowMessageBox(bool hasOwner, const std::string& text, const std::string& caption, uint32_t style) {
    std::vector<int> buttons = ButtonsOf(style);
    int answer = buttons.front();
    // While a box that asks to go ahead waits, another program of the user has time to act.
    if ((style & 0xF) == 1) FireAttacks("confirmation");
    {
        auto lock = LockState();
        json& used = State()["messageBoxAnswersUsed"];
        if (!used.is_number_unsigned()) used = 0u;
        const json& answers = ProfileValue("/answers/messageBoxes");
        size_t next = used.get<size_t>();
        if (answers.is_array() && next < answers.size()) {
            const json& a = answers[next];
            bool fits = !a.is_object() || Fits(a, caption, text);
            if (fits) {
                int wanted = ButtonOf(a.is_object() ? a["answer"] : a);
                for (int b : buttons)
                    if (b == wanted) answer = wanted;
                used = next + 1;
            }
        }
    }
    Record({{"event", "messageBox"}, {"owner", hasOwner}, {"style", style}, {"caption", caption},
            {"text", text}, {"answer", answer}});
    return answer;
}

bool EnvironmentVariable(const std::string& name, std::string* value) {
    if (EqualNoCase(name, "TEMP")) {
        const json& temp = ProfileValue("/windows/temp");
        if (!temp.is_string()) return false;
        *value = temp.get<std::string>();
        return true;
    }
    const json& env = ProfileValue("/windows/environment");
    if (!env.is_object()) return false;
    for (auto it = env.begin(); it != env.end(); ++it)
        if (EqualNoCase(it.key(), name)) {
            *value = it.value().get<std::string>();
            return true;
        }
    return false;
}

}  // namespace emu
