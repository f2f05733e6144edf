// The DMI settings dialog on the window system's dialog mechanism.
//
// The values a technician types here are written into the notebook's DMI data by the flash tool,
// which keeps each one in the room of the value it replaces: a text of another length is refused
// and the dialog stays open for a corrected one. The contents are not checked.
#include "ui/dmi_dialog.h"

#include <cstdint>
#include <cstring>

#include "base/text.h"
#include "core/context.h"
#include "core/messages.h"
#include "os/os.h"

namespace {

constexpr char kLengthCaption[] = "Error : String length";

// The fields in the order they are checked, with the current value each one starts with and
// must match in length, and where an accepted text goes.
struct DmiField {
    int control;
    const char* name;  // as the length message names it
    char (UpdateContext::*current)[32];
    char (UpdateContext::*accepted)[kTextSize];
};
constexpr DmiField kDmiFields[] = {
    {kDmiSerialEdit, "System Serial", &UpdateContext::systemSerial, &UpdateContext::newSerial},
    {kDmiFlagEdit, "Bios Flag", &UpdateContext::oemString1, &UpdateContext::newBiosFlag},
    {kDmiDateEdit, "Purchase Date", &UpdateContext::oemString2, &UpdateContext::newPurchaseDate},
};

void FillFields(os::Window dialog) {
    for (const DmiField& field : kDmiFields) os::SetDlgItemText(dialog, field.control, ctx.*field.current);
}

// Takes the texts in order up to the first of a wrong length, which is named to the technician.
// True when all three were taken.
bool TakeFields(os::Window dialog) {
    for (const DmiField& field : kDmiFields) {
        char text[kTextSize];
        os::GetDlgItemText(dialog, field.control, text, sizeof text);
        const size_t required = BoundedLength(ctx.*field.current, sizeof(ctx.*field.current));
        if (std::strlen(text) != required) {
            ShowMessage(kStyleInformation, kLengthCaption, "The string length of %s must be %d.", field.name,
                        static_cast<int>(required));
            return false;
        }
        CopyText(ctx.*field.accepted, text);
    }
    return true;
}

constexpr int LowWord(uintptr_t value) { return static_cast<int>(value & 0xFFFF); }

// Leaves every message to the dialog manager (returns 0), the opening one included; the close
// box reaches it as the cancel command.
intptr_t DmiDialogProc(os::Window dialog, uint32_t message, uintptr_t wParam, intptr_t) {
    if (message == os::kWmInitDialog) {
        FillFields(dialog);
    } else if (message == os::kWmCommand) {
        const int command = LowWord(wParam);
        if (command == os::kIdOk && TakeFields(dialog)) {
            ctx.dmiAccepted = 1;
            os::EndDialog(dialog, os::kIdOk);
        } else if (command == os::kIdCancel) {
            ctx.dmiAccepted = 0;
            os::EndDialog(dialog, os::kIdCancel);
        }
    }
    return 0;
}

}  // namespace

bool RunDmiDialog() {
    ctx.dmiAccepted = 0;
    const os::Module module = ctx.resourceModule != nullptr ? ctx.resourceModule : os::ProgramModule();
    if (os::DialogBox(module, kDmiDialogId, nullptr, DmiDialogProc, 0) == -1) {
        LogLine("DMI settings dialog could not be opened (error %u)", os::GetLastError());
        ctx.dmiAccepted = 0;
        return false;
    }
    return true;
}
