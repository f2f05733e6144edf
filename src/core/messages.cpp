#include "core/messages.h"

#include <cstdarg>

#include "base/text.h"
#include "core/context.h"
#include "core/run_options.h"
#include "core/variant.h"
#include "os/os.h"

int ShowMessage(uint32_t style, const char* caption, const char* format, ...) {
    if (HasOption(NoMessageBox)) return os::kIdOk;
    char text[kMessageSize];
    va_list args;
    va_start(args, format);
    FormatTextV(text, sizeof text, format, args);
    va_end(args);
    return os::MessageBox(ctx.progressWindow.load(), text, caption, style);
}

namespace {

void WriteLogLine(const char* format, va_list args) {
    char text[kMessageSize];
    FormatTextV(text, sizeof text, format, args);

    os::Handle log = os::CreateFile("DebugLog.txt", os::kGenericWrite, os::kShareRead,
                                    os::kOpenAlways, os::kFileAttributeNormal);
    if (!os::IsValid(log)) return;
    os::SeekFile(log, 0, os::SeekFrom::End);
    uint32_t written = 0;
    os::WriteFile(log, text, static_cast<uint32_t>(BoundedLength(text, sizeof text)), &written);
    os::WriteFile(log, "\r\n", 2, &written);
    os::CloseHandle(log);
}

}  // namespace

void LogLine(const char* format, ...) {
    va_list args;
    va_start(args, format);
    WriteLogLine(format, args);
    va_end(args);
}

void LogStep(const char* format, ...) {
    if (!kVariant.logsSteps) return;
    va_list args;
    va_start(args, format);
    WriteLogLine(format, args);
    va_end(args);
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

