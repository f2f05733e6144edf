// The resource library in the system's language: chosen by the system's default language
// identifier, unpacked from the program's own package into the working folder's startup folder
// (which only administrators can change, so the copy mapped is the one written), and mapped as a
// data file.
//
// The library is loaded by the full path of the copy just written, never by a bare name: a bare
// name is searched for in the program's own folder first, and an updater started from a downloads
// folder would pick up whatever lies beside it, with administrator rights. Mapped as a data file,
// none of the library's code runs; its string table and dialogs are all the program takes from it.
#include "app/language.h"

#include <cstdint>

#include "base/text.h"
#include "core/context.h"
#include "core/messages.h"
#include "core/variant.h"
#include "os/os.h"
#include "package/package.h"
#include "package/workdir.h"

namespace {

// One row of the language table: the language code and the whole identifiers that choose it.
struct LanguageRow {
    const char* code;
    uint16_t langIds[20];  // the used ones first; 0 ends the list
};

// Whole identifiers are compared, not primary languages: Chinese (Macao, 0x1404) falls to English
// and Chinese (Singapore, 0x1004) reads the traditional script.
constexpr LanguageRow kLanguages[] = {
    {"Cht", {0x0404, 0x0C04, 0x1004}},
    {"Chs", {0x0804}},
    {"Gr", {0x0407, 0x0807, 0x0C07, 0x1007, 0x1407}},
    {"Sp", {0x040A, 0x080A, 0x0C0A, 0x100A, 0x140A, 0x180A, 0x1C0A, 0x200A, 0x240A, 0x280A,
            0x2C0A, 0x300A, 0x340A, 0x380A, 0x3C0A, 0x400A, 0x440A, 0x480A, 0x4C0A, 0x500A}},
    {"Fr", {0x040C, 0x080C, 0x0C0C, 0x100C, 0x140C}},
    {"Kr", {0x0412}},
    {"Po", {0x0416, 0x0816}},
    {"Ru", {0x0419}},
};
constexpr const char* kDefaultLanguage = "En";

}  // namespace

const char* LanguageCode(uint16_t langId) {
    for (const LanguageRow& row : kLanguages) {
        for (uint16_t id : row.langIds) {
            if (id == 0) break;
            if (id == langId) return row.code;
        }
    }
    return kDefaultLanguage;
}

int LoadResourceModule() {
    const char* code = LanguageCode(os::GetSystemDefaultLangID());

    // The working directory is not prepared yet: the library goes into its startup folder.
    // Without a folder of the run's own the library is not unpacked at all.
    if (!EnterStartupFolder()) return 0;

    char name[32];
    const bool amiLibrary = kVariant.hasAmiPath && ctx.isPhoenixBios == 0;
    FormatText(name, sizeof name, "ConRes%s%s", code, amiLibrary ? "_ami.dll" : ".dll");
    if (ExtractNamedEntry(name) == 0) return 0;

    // The copy just written lies in the directory that is current now, the startup folder.
    char path[kPathSize];
    const uint32_t folderLength = os::GetCurrentDirectory(path, sizeof path);
    const bool endsInBackslash = folderLength > 0 && folderLength < sizeof path && path[folderLength - 1] == '\\';
    if (folderLength == 0 || folderLength >= sizeof path ||
        (!endsInBackslash && !AppendText(path, "\\")) || !AppendText(path, name)) {
        // A path that does not fit names no file of ours: the load fails as a load would.
        ctx.resourceModule = nullptr;
        return 1;
    }
    ctx.resourceModule = os::LoadResourceLibrary(path);
    return 1;
}

void ChooseResourceModule(os::Module instance) {
    ctx.instance = instance;
    if (LoadResourceModule() == 0) ctx.resourceModule = instance;
    // The lookups then go to the program's own resources (LoadText falls back to instance).
    if (ctx.resourceModule == nullptr) ShowMessage(kStyleError, "Fail : Dll", "Fail To Load Dll");
}
