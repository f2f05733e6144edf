#include "app/failure.h"

#include "core/context.h"
#include "core/messages.h"
#include "hw/input.h"
#include "os/os.h"
#include "package/workdir.h"
#include "ui/progress.h"

namespace {

constexpr const char* kDriverLoadFailCaption = "Driver Load Fail";
constexpr const char* kDriverLoadFailText =
    "Fail to update.\nCheck if QTV(Quillon) is installed.\nQTV must be installed to update BIOS.";
constexpr uint32_t kDriverLoadFailExitCode = 0xFFFFFFFFu;  // -1

// Whether there is a running window, input devices held off and working files to remove. The
// row says whether its code comes after the unpack; the clean-up deletes fixed file names in the
// current directory, so it also needs the working directory to exist (it is then current). Codes
// outside the table, which no step returns, count as after the unpack when they lie above it.
bool CleansUp(const ResultRow* row, ResultCode code) {
    const bool afterUnpack = row != nullptr ? row->cleansUpAfterUnpack : code > kResultUnpack;
    return afterUnpack && ctx.workDir[0] != '\0';
}

}  // namespace

ResultCode FailUpdate(ResultCode code) {
    ctx.busy = 0;
    const ResultRow* row = FindResult(code);
    if (CleansUp(row, code)) {
        StopProgressAnimation();
        EnableInputDevices();
        CleanUpWorkingFiles();
        RemoveCandidatesAndRuntime();
    }
    if (row == nullptr || row->captionId == 0) return code;

    LoadText(row->captionId, ctx.captionText, sizeof ctx.captionText);
    char format[kTextSize];
    LoadText(row->textId, format, sizeof format);
    char text[kMessageSize];
    if (row->namesModels) {
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

void EndWithoutDisplayUtility() {
    os::MessageBox(nullptr, kDriverLoadFailText, kDriverLoadFailCaption, os::kMbOk | os::kMbIconError);
    os::ExitProcess(kDriverLoadFailExitCode);
}
