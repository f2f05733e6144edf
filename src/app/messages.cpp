#include "app/messages.h"

#include <cstdarg>

#include "app/context.h"
#include "app/run_options.h"
#include "base/text.h"
#include "hw/input.h"
#include "os/os.h"
#include "package/workdir.h"
#include "ui/progress.h"

int ShowMessage(uint32_t style, const char* caption, const char* format, ...) {
    if (HasOption(NoMessageBox)) return os::kIdOk;
    char text[kMessageSize];
    va_list args;
    va_start(args, format);
    FormatTextV(text, sizeof text, format, args);
    va_end(args);
    return os::MessageBox(ctx.progressWindow.load(), text, caption, style);
}

void LogLine(const char* format, ...) {
    char text[kMessageSize];
    va_list args;
    va_start(args, format);
    FormatTextV(text, sizeof text, format, args);
    va_end(args);

    os::Handle log = os::CreateFile("DebugLog.txt", os::kGenericWrite, os::kShareRead,
                                    os::kOpenAlways, os::kFileAttributeNormal);
    if (!os::IsValid(log)) return;
    os::SeekFile(log, 0, os::SeekFrom::End);
    uint32_t written = 0;
    os::WriteFile(log, text, static_cast<uint32_t>(BoundedLength(text, sizeof text)), &written);
    os::WriteFile(log, "\r\n", 2, &written);
    os::CloseHandle(log);
}

void LoadText(uint32_t id, char* buffer, int size) {
    if (size <= 0) return;
    buffer[0] = '\0';
    // Before the run has stored its modules (a failure at the very start), the program's own
    // resources answer, as they would for a null module on Windows.
    os::Module module = ctx.resourceModule != nullptr ? ctx.resourceModule : ctx.instance;
    if (module == nullptr) module = os::ProgramModule();
    if (os::LoadString(module, id, buffer, size) <= 0) buffer[0] = '\0';
}

namespace {

// Appends c to out if there is room; the text stays terminated.
void Put(char* out, int size, int* used, char c) {
    if (*used + 1 < size) {
        out[(*used)++] = c;
        out[*used] = '\0';
    }
}

void PutText(char* out, int size, int* used, const char* text) {
    for (; text != nullptr && *text != '\0'; ++text) Put(out, size, used, *text);
}

}  // namespace

void FormatTableText(char* out, int size, const char* format, const TextArg* args, int argCount) {
    if (size <= 0) return;
    out[0] = '\0';
    int used = 0;
    int next = 0;
    for (const char* p = format; *p != '\0'; ++p) {
        if (*p != '%') {
            Put(out, size, &used, *p);
            continue;
        }
        if (p[1] == '%') {
            Put(out, size, &used, '%');
            ++p;
        } else if (p[1] == 's') {
            const TextArg* arg = next < argCount ? &args[next] : nullptr;
            ++next;
            if (arg != nullptr && arg->kind == TextArg::Text) PutText(out, size, &used, arg->text);
            ++p;
        } else if (p[1] == 'd' || (p[1] == 'l' && p[2] == 'd')) {
            const TextArg* arg = next < argCount ? &args[next] : nullptr;
            ++next;
            char number[24];
            FormatText(number, sizeof number, "%ld",
                       arg != nullptr && arg->kind == TextArg::Number ? arg->number : 0L);
            PutText(out, size, &used, number);
            p += (p[1] == 'l') ? 2 : 1;
        } else {
            Put(out, size, &used, '%');  // not a conversion this program knows: shown as written
        }
    }
}

namespace {

// Whether the failure happened after the package was unpacked, so that there is a running
// window, input devices held off and working files to remove. The code alone does not tell: the
// package check and the access driver can fail with such codes before the working directory
// exists, and the clean-up deletes fixed file names in the current directory, which is then the
// user's (or the TEMP directory with the access driver file). It runs only in the working
// directory.
bool FailedAfterUnpack(ResultCode code) {
    return code > kResultUnpack && code != kResultDirectory && code != kResultNoAcAdapter &&
           code != kResultBattery && code != kResultNoAcAndBattery && ctx.workDir[0] != '\0';
}

}  // namespace

ResultCode FailUpdate(ResultCode code) {
    ctx.busy = 0;
    if (FailedAfterUnpack(code)) {
        StopProgressAnimation();
        EnableInputDevices();
        CleanUpWorkingFiles();
        RemoveCandidatesAndRuntime();
    }
    if (code < kResultInitialization || code > kResultBiosNotNewer) return code;

    const ResultRow* row = FindResult(code);
    if (row == nullptr) return code;
    LoadText(row->captionId, ctx.captionText, sizeof ctx.captionText);
    char format[kTextSize];
    LoadText(row->textId, format, sizeof format);
    char text[kMessageSize];
    if (code == kResultModelMismatch || code == kResultPartNumberMismatch ||
        code == kResultModelRefused) {
        const TextArg names[] = {
            {TextArg::Text, ctx.currentModel, 0},
            {TextArg::Text, ctx.currentPartNumber, 0},
            {TextArg::Text, ctx.newModel, 0},
            {TextArg::Text, ctx.newPartNumber, 0},
        };
        FormatTableText(text, sizeof text, format, names, 4);
    } else {
        FormatTableText(text, sizeof text, format, nullptr, 0);
    }
    ShowMessage(kStyleError, ctx.captionText, "%s", text);
    return code;
}
