#include "app/options.h"

#include <cstring>

#include "core/context.h"
#include "core/run_options.h"
#include "base/text.h"

namespace {

enum class OptionAction {
    AppendMicom,  // append text to the MICOM tool's command line
    AppendBios,   // append text to the BIOS tool's command line
    Mode,         // append the token itself to the BIOS command line; its digit picks the mode bit
    SetBits,      // OR bits into the flag word
    ReadBios,     // the flag word becomes exactly ReadBios; the rest of the line is not read
};

struct OptionRow {
    const char* name;
    size_t matchLength;  // characters that must match; 0: the whole token
    OptionAction action;
    uint32_t bits;
    const char* text;
};

// Rows are tried in this order; the first match applies. Options are written here with "/" and
// accepted with "/" or "-".
constexpr OptionRow kOptionTable[] = {
    {"/MFORCE", 0, OptionAction::AppendMicom, 0, " /FORCE"},
    {"/MSERIAL", 0, OptionAction::AppendMicom, 0, " /SERIAL"},
    {"/MAUTO", 0, OptionAction::AppendMicom, 0, " /A"},
    {"/MODE", 5, OptionAction::Mode, 0, nullptr},
    {"/BBL", 4, OptionAction::AppendBios, 0, " /BBL"},
    {"/BLOCK_POWER_OFF", 16, OptionAction::SetBits, BlockPowerOff, nullptr},
    {"/SKIP_CHECK_PART", 16, OptionAction::SetBits, SkipCheckPart, nullptr},
    {"/SKIP_CHECK_MODEL", 17, OptionAction::SetBits, SkipCheckModel, nullptr},
    {"/SKIP_UPDATE_MICOM", 18, OptionAction::SetBits, SkipUpdateMicom, nullptr},
    {"/NO_MESSAGEBOX", 14, OptionAction::SetBits, NoMessageBox, nullptr},
    {"/BREAK_CMOS", 10, OptionAction::AppendBios, 0, " /C"},
    {"/BREAK_ESCD", 10, OptionAction::SetBits, BreakEscd, nullptr},
    {"/READ_BIOS", 10, OptionAction::ReadBios, ReadBios, nullptr},
    {"/SKIP_UPDATE_FILES", 18, OptionAction::SetBits, SkipUpdateFiles, nullptr},
    {"/SKIP_CHECK_DATE", 16, OptionAction::SetBits, SkipCheckDate, nullptr},
    {"/SKIP_CHECK_POWER", 17, OptionAction::SetBits, SkipCheckPower, nullptr},
    {"/VISTA_UPGRADE", 14, OptionAction::SetBits, VistaUpgrade | NoMessageBox | BlockPowerOff, nullptr},
};

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// Whether an upper-cased token is the option of row, with "/" or "-" in front.
bool Matches(const char* token, const OptionRow& row) {
    if (token[0] != '/' && token[0] != '-') return false;
    const char* rest = token + 1;
    const char* name = row.name + 1;
    if (row.matchLength == 0) return std::strcmp(rest, name) == 0;
    return std::strncmp(rest, name, row.matchLength - 1) == 0;
}

// Removes the first count characters of text, and then the blanks that follow them.
void Consume(char* text, size_t count) {
    const char* rest = text + count;
    while (IsBlank(*rest)) ++rest;
    std::memmove(text, rest, std::strlen(rest) + 1);
}

}  // namespace

ResultCode ParseRunOptions(char* micomToolCommand, char* biosToolCommand, char* commandLine) {
    CopyText(micomToolCommand, kCommandSize, kDefaultMicomCommand);
    CopyText(biosToolCommand, kCommandSize, kDefaultBiosCommand);

    Consume(commandLine, 0);
    while (commandLine[0] != '\0') {
        size_t length = 0;
        while (commandLine[length] != '\0' && !IsBlank(commandLine[length])) ++length;

        char token[kCommandSize];
        if (!CopyTextN(token, sizeof token, commandLine, length)) return kResultInvalidOption;
        Consume(commandLine, length);
        UpperCaseAscii(token);

        const OptionRow* row = nullptr;
        for (const OptionRow& candidate : kOptionTable) {
            if (Matches(token, candidate)) {
                row = &candidate;
                break;
            }
        }
        if (row == nullptr) return kResultInvalidOption;

        switch (row->action) {
        case OptionAction::AppendMicom:
            if (!AppendText(micomToolCommand, kCommandSize, row->text)) return kResultInvalidOption;
            break;
        case OptionAction::AppendBios:
            if (!AppendText(biosToolCommand, kCommandSize, row->text)) return kResultInvalidOption;
            break;
        case OptionAction::Mode:
            // The token goes into the BIOS tool's command line as it stands: a quote or a control
            // character would change how the tool splits its line.
            if (!IsPlainWord(token) ||
                !AppendText(biosToolCommand, kCommandSize, " ") ||
                !AppendText(biosToolCommand, kCommandSize, token)) {
                return kResultInvalidOption;
            }
            if (length >= 7) {
                if (token[6] == '3') ctx.runOptions |= Mode3;
                if (token[6] == '2') ctx.runOptions |= Mode2;
                if (token[6] == '1') ctx.runOptions |= Mode1;
            }
            break;
        case OptionAction::SetBits:
            ctx.runOptions |= row->bits;
            break;
        case OptionAction::ReadBios:
            ctx.runOptions = ReadBios;
            return kResultOk;
        }
    }
    return kResultOk;
}
