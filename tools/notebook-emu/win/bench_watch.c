/* The watcher of the Wine bench: runs inside Wine beside the program under test.
 *
 * It starts the program (command line ROMSHELL_BENCH_COMMAND, current directory
 * ROMSHELL_BENCH_DIRECTORY) as a person starts it, then until it ends looks at the program's
 * windows every 50 ms:
 *   - a message box is reported to the notebook-emu server with its caption, text, buttons, icon
 *     and owner; the server answers from the profile's answers as the emulated Windows does, and
 *     the watcher presses that button;
 *   - the progress window's text controls are reported whenever they change, and its closing;
 *   - the DMI settings dialog is reported with its fields whenever it waits for the person; the
 *     server answers with the profile's next attempt, which the watcher types into the fields
 *     (character by character, as keys reach an edit control) before it presses the button.
 * With ROMSHELL_BENCH_CAPTURE set to a folder, each message box, the DMI settings dialog and the
 * progress window (at each change) are also captured from the screen there as bitmaps, for the
 * pictures of the documentation.
 * When the program has ended its full 32-bit exit code (Wine hands only the low byte to Linux)
 * goes to the server, and the watcher ends with the same code. */
#include "emu/wine-driver/bench_client.h"

#define BOX_MAGIC 0x584F424Du    /* "MBOX" */
#define WINDOW_MAGIC 0x444E4957u /* "WIND" */
#define DIALOG_MAGIC 0x44494D44u /* "DMID" */
#define EXIT_MAGIC 0x54495845u   /* "EXIT" */
#define EXIT_NO_SERVER 99

#define BOX_TEXT_ID 0xFFFF /* the static control that holds a message box's text */
#define BOX_ICON_ID 0x0440 /* the static control that holds its icon */
#define PROGRESS_TEXT_ID 1010
#define MAX_WINDOWS 32
#define TEXT_SIZE 4096

static const int kProgressControls[] = {1013, 1014, 1015, 1010};
static const int kDmiFields[] = {1017, 1018, 1019}; /* serial, flag, date */
#define DMI_FIELDS (sizeof kDmiFields / sizeof kDmiFields[0])
/* How long a press may take before the watcher counts it as still being handled (a message box
 * the program shows from it), in ms. */
#define PRESS_WAIT 200
#define PROGRESS_CONTROLS (sizeof kProgressControls / sizeof kProgressControls[0])

struct Seen {
    HWND window;
    int isBox;
    int isDmiDialog;
    int pressPending; /* the dialog has not finished handling the last press yet */
    int unanswered;   /* the profile has no (more) attempts for the dialog: it is not asked again */
    int alive;
    unsigned long textHash; /* progress window: the texts last reported */
};

static SOCKET gServer = INVALID_SOCKET;
static DWORD gProgram;
static struct Seen gSeen[MAX_WINDOWS];
static int gSeenCount;
static char gText[TEXT_SIZE];
static char gCaption[TEXT_SIZE];

/* The window as the screen shows it, into <ROMSHELL_BENCH_CAPTURE>\<name>.bmp (24 bits). */
static int Capture(HWND window, const char* name) {
    static char path[MAX_PATH];
    BITMAPFILEHEADER file;
    BITMAPINFOHEADER info;
    RECT r;
    HDC screen, memory;
    HBITMAP bitmap;
    HANDLE out;
    void* pixels;
    DWORD written, size, folder = GetEnvironmentVariableA("ROMSHELL_BENCH_CAPTURE", path, sizeof path);
    int width, height;
    int done = 0;
    if (folder == 0 || folder + 1 + (DWORD)lstrlenA(name) + 5 > sizeof path || !GetWindowRect(window, &r)) return 0;
    lstrcatA(path, "\\");
    lstrcatA(path, name);
    lstrcatA(path, ".bmp");
    width = r.right - r.left;
    height = r.bottom - r.top;
    if (width <= 0 || height <= 0 || width > 4096 || height > 4096) return 0;
    /* A window just shown may not be drawn yet. */
    UpdateWindow(window);
    Sleep(300);
    screen = GetDC(NULL);
    memory = CreateCompatibleDC(screen);
    bitmap = CreateCompatibleBitmap(screen, width, height);
    SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, screen, r.left, r.top, SRCCOPY);
    memset(&info, 0, sizeof info);
    info.biSize = sizeof info;
    info.biWidth = width;
    info.biHeight = height;
    info.biPlanes = 1;
    info.biBitCount = 24;
    info.biCompression = BI_RGB;
    size = (DWORD)(((width * 3 + 3) & ~3) * height);
    pixels = HeapAlloc(GetProcessHeap(), 0, size);
    if (pixels != NULL && GetDIBits(memory, bitmap, 0, (UINT)height, pixels, (BITMAPINFO*)&info, DIB_RGB_COLORS) != 0) {
        memset(&file, 0, sizeof file);
        file.bfType = 0x4D42; /* "BM" */
        file.bfOffBits = sizeof file + sizeof info;
        file.bfSize = file.bfOffBits + size;
        out = CreateFileA(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
        if (out != INVALID_HANDLE_VALUE) {
            WriteFile(out, &file, sizeof file, &written, NULL);
            WriteFile(out, &info, sizeof info, &written, NULL);
            done = WriteFile(out, pixels, size, &written, NULL) && written == size;
            CloseHandle(out);
        }
    }
    if (pixels != NULL) HeapFree(GetProcessHeap(), 0, pixels);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(NULL, screen);
    return done;
}

/* Buttons a message box offers, as the MB_ button set of its style. */
static const struct {
    unsigned long style;
    int buttons[3];
} kButtonSets[] = {
    {0x0, {IDOK, 0, 0}},          {0x1, {IDOK, IDCANCEL, 0}},    {0x2, {IDABORT, IDRETRY, IDIGNORE}},
    {0x3, {IDYES, IDNO, IDCANCEL}}, {0x4, {IDYES, IDNO, 0}},      {0x5, {IDRETRY, IDCANCEL, 0}},
};

static int HasButton(HWND box, int id) {
    HWND b = GetDlgItem(box, id);
    return b != NULL && IsWindowVisible(b);
}

static unsigned long ButtonStyle(HWND box) {
    unsigned int i, best = 0;
    int bestCount = -1;
    for (i = 0; i < sizeof kButtonSets / sizeof kButtonSets[0]; ++i) {
        int j, count = 0, fits = 1;
        for (j = 0; j < 3; ++j) {
            if (kButtonSets[i].buttons[j] == 0) continue;
            if (HasButton(box, kButtonSets[i].buttons[j])) ++count;
            else fits = 0;
        }
        if (fits && count > bestCount) {
            best = i;
            bestCount = count;
        }
    }
    return kButtonSets[best].style;
}

static unsigned long IconStyle(HWND box) {
    static const struct {
        LPCSTR icon;
        unsigned long style;
    } kIcons[] = {{IDI_HAND, 0x10}, {IDI_QUESTION, 0x20}, {IDI_EXCLAMATION, 0x30}, {IDI_ASTERISK, 0x40}};
    unsigned int i;
    HWND control = GetDlgItem(box, BOX_ICON_ID);
    HICON shown;
    if (control == NULL || !IsWindowVisible(control)) return 0;
    shown = (HICON)SendMessageA(control, STM_GETICON, 0, 0);
    for (i = 0; i < sizeof kIcons / sizeof kIcons[0]; ++i)
        if (shown != NULL && shown == LoadIconA(NULL, kIcons[i].icon)) return kIcons[i].style;
    return 0;
}

static int Report(const void* frame, unsigned long length) {
    unsigned long ack = 0;
    return BenchSend(gServer, frame, length) && BenchReceiveWord(gServer, &ack);
}

static void AnswerBox(HWND box) {
    static char name[16] = "box-0";
    unsigned long style = ButtonStyle(box) | IconStyle(box);
    unsigned long answer = 0;
    unsigned long owned = GetWindow(box, GW_OWNER) != NULL;
    int captionLength = GetWindowTextA(box, gCaption, sizeof gCaption);
    int textLength = GetDlgItemTextA(box, BOX_TEXT_ID, gText, sizeof gText);
    if (captionLength < 0) captionLength = 0;
    if (textLength < 0) textLength = 0;
    if (name[4] < '9') ++name[4];
    Capture(box, name);
    if (!BenchSendWord(gServer, BOX_MAGIC) || !BenchSendWord(gServer, owned) || !BenchSendWord(gServer, style) ||
        !BenchSendWord(gServer, (unsigned long)captionLength) || !BenchSendWord(gServer, (unsigned long)textLength) ||
        !BenchSend(gServer, gCaption, (unsigned long)captionLength) || !BenchSend(gServer, gText, (unsigned long)textLength) ||
        !BenchReceiveWord(gServer, &answer)) {
        return;
    }
    PostMessageA(box, WM_COMMAND, MAKEWPARAM(answer, BN_CLICKED), (LPARAM)GetDlgItem(box, (int)answer));
}

/* Replaces an edit control's text as keys typed into it do. */
static void Type(HWND edit, const char* text, unsigned long length) {
    unsigned long i;
    SendMessageA(edit, EM_SETSEL, 0, -1);
    SendMessageA(edit, WM_CLEAR, 0, 0);
    for (i = 0; i < length; ++i) SendMessageA(edit, WM_CHAR, (WPARAM)(unsigned char)text[i], 1);
}

/* One turn of the person at the DMI settings dialog: its fields to the server, the attempt back. */
static void AnswerDmiDialog(struct Seen* seen) {
    static const unsigned long kCommands[] = {0, IDOK, IDCANCEL};
    static int captured;
    unsigned long press = 0, count = 0, i;
    DWORD_PTR result = 0;
    LRESULT finished;
    int titleLength = GetWindowTextA(seen->window, gCaption, sizeof gCaption);
    if (titleLength < 0) titleLength = 0;
    if (!captured) Capture(seen->window, "dmi-dialog");
    captured = 1;
    if (!BenchSendWord(gServer, DIALOG_MAGIC) || !BenchSendWord(gServer, (unsigned long)(ULONG_PTR)seen->window) ||
        !BenchSendWord(gServer, (unsigned long)titleLength) || !BenchSend(gServer, gCaption, (unsigned long)titleLength))
        return;
    for (i = 0; i < DMI_FIELDS; ++i) {
        int n = GetDlgItemTextA(seen->window, kDmiFields[i], gText, sizeof gText);
        if (n < 0) n = 0;
        if (!BenchSendWord(gServer, (unsigned long)n) || !BenchSend(gServer, gText, (unsigned long)n)) return;
    }
    if (!BenchReceiveWord(gServer, &press) || !BenchReceiveWord(gServer, &count)) return;
    for (i = 0; i < count; ++i) {
        unsigned long control = 0, length = 0;
        if (!BenchReceiveWord(gServer, &control) || !BenchReceiveWord(gServer, &length) || length >= sizeof gText ||
            !BenchReceive(gServer, gText, length))
            return;
        Type(GetDlgItem(seen->window, (int)control), gText, length);
    }
    if (press == 0 || press > 3) {
        seen->unanswered = press == 0 && count == 0;
        return;
    }
    if (press == 3) {
        finished = SendMessageTimeoutA(seen->window, WM_SYSCOMMAND, SC_CLOSE, 0, SMTO_NORMAL, PRESS_WAIT, &result);
    } else {
        int id = (int)kCommands[press];
        finished = SendMessageTimeoutA(seen->window, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                                       (LPARAM)GetDlgItem(seen->window, id), SMTO_NORMAL, PRESS_WAIT, &result);
    }
    seen->pressPending = finished == 0;
}

/* The dialog waits for the person when no message box of the program is up and it has finished
 * handling the last press (a message it is sent returns only from its own message loop then). */
static void TendDmiDialog(struct Seen* seen, int boxUp) {
    DWORD_PTR result = 0;
    if (boxUp || seen->unanswered) return;
    if (seen->pressPending) {
        if (SendMessageTimeoutA(seen->window, WM_NULL, 0, 0, SMTO_NORMAL, PRESS_WAIT, &result) == 0) return;
        seen->pressPending = 0;
        return; /* looked at again in the next round, with the windows as they are then */
    }
    AnswerDmiDialog(seen);
}

static unsigned long Hash(const char* text, unsigned long hash) {
    while (*text != 0) hash = hash * 33u + (unsigned char)*text++;
    return hash * 33u + 1u;
}

static BOOL CALLBACK FindBox(HWND window, LPARAM found) {
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    if (pid == gProgram && IsWindowVisible(window) && GetDlgItem(window, BOX_TEXT_ID) != NULL) {
        *(int*)found = 1;
        return FALSE;
    }
    return TRUE;
}

static int BoxVisible(void) {
    int found = 0;
    EnumWindows(FindBox, (LPARAM)&found);
    return found;
}

/* The progress window as last changed, kept only when no message box of the program stood over
 * it while it was taken. */
static void CaptureProgress(HWND window) {
    static char kept[MAX_PATH], taken[MAX_PATH];
    DWORD n = GetEnvironmentVariableA("ROMSHELL_BENCH_CAPTURE", kept, sizeof kept);
    if (n == 0 || n + 24 > sizeof kept || BoxVisible()) return;
    lstrcpynA(taken, kept, sizeof taken);
    lstrcatA(kept, "\\progress.bmp");
    lstrcatA(taken, "\\progress-taken.bmp");
    if (Capture(window, "progress-taken") && !BoxVisible()) MoveFileExA(taken, kept, MOVEFILE_REPLACE_EXISTING);
    else DeleteFileA(taken);
}

/* The progress window's texts, when they differ from what was reported last (or it closed). */
static void ReportProgress(struct Seen* seen, int closed) {
    unsigned int i;
    unsigned long hash = 5381u + (unsigned long)closed;
    static char texts[PROGRESS_CONTROLS][512];
    for (i = 0; i < PROGRESS_CONTROLS; ++i) {
        texts[i][0] = 0;
        if (!closed) GetDlgItemTextA(seen->window, kProgressControls[i], texts[i], sizeof texts[i]);
        hash = Hash(texts[i], hash);
    }
    if (hash == seen->textHash) return;
    seen->textHash = hash;
    if (!closed) CaptureProgress(seen->window);
    if (!BenchSendWord(gServer, WINDOW_MAGIC) || !BenchSendWord(gServer, (unsigned long)(ULONG_PTR)seen->window) ||
        !BenchSendWord(gServer, (unsigned long)closed) || !BenchSendWord(gServer, closed ? 0 : PROGRESS_CONTROLS))
        return;
    if (!closed) {
        for (i = 0; i < PROGRESS_CONTROLS; ++i) {
            if (!BenchSendWord(gServer, (unsigned long)kProgressControls[i]) ||
                !BenchSendWord(gServer, BenchLength(texts[i])) || !BenchSend(gServer, texts[i], BenchLength(texts[i])))
                return;
        }
    }
    Report("", 0);
}

static struct Seen* Find(HWND window) {
    int i;
    for (i = 0; i < gSeenCount; ++i)
        if (gSeen[i].window == window) return &gSeen[i];
    return NULL;
}

/* The DMI settings dialog: its three fields are edit controls (the progress window has static
 * controls of the same ids). */
static int IsDmiDialog(HWND window) {
    char className[16];
    unsigned int i;
    for (i = 0; i < DMI_FIELDS; ++i) {
        HWND field = GetDlgItem(window, kDmiFields[i]);
        if (field == NULL || GetClassNameA(field, className, sizeof className) == 0 || lstrcmpiA(className, "Edit") != 0)
            return 0;
    }
    return 1;
}

static BOOL CALLBACK Look(HWND window, LPARAM unused) {
    char className[16];
    DWORD pid = 0;
    struct Seen* seen;
    (void)unused;
    GetWindowThreadProcessId(window, &pid);
    if (pid != gProgram || !IsWindowVisible(window)) return TRUE;
    if (GetClassNameA(window, className, sizeof className) == 0 || lstrcmpA(className, "#32770") != 0) return TRUE;
    seen = Find(window);
    if (seen == NULL) {
        if (gSeenCount == MAX_WINDOWS) return TRUE;
        seen = &gSeen[gSeenCount++];
        seen->window = window;
        seen->isBox = GetDlgItem(window, BOX_TEXT_ID) != NULL;
        seen->isDmiDialog = !seen->isBox && IsDmiDialog(window);
        seen->pressPending = 0;
        seen->unanswered = 0;
        seen->textHash = 0;
        if (seen->isBox) AnswerBox(window);
    }
    seen->alive = 1;
    if (!seen->isBox && !seen->isDmiDialog && GetDlgItem(window, PROGRESS_TEXT_ID) != NULL) ReportProgress(seen, 0);
    return TRUE;
}

static void LookAtWindows(void) {
    int i, kept = 0, boxUp = 0;
    for (i = 0; i < gSeenCount; ++i) gSeen[i].alive = 0;
    EnumWindows(Look, 0);
    for (i = 0; i < gSeenCount; ++i) {
        if (gSeen[i].alive) {
            gSeen[kept++] = gSeen[i];
            if (gSeen[i].isBox) boxUp = 1;
        } else if (!gSeen[i].isBox && gSeen[i].textHash != 0) {
            ReportProgress(&gSeen[i], 1);
        }
    }
    gSeenCount = kept;
    for (i = 0; i < gSeenCount; ++i)
        if (gSeen[i].isDmiDialog) TendDmiDialog(&gSeen[i], boxUp);
}

void __stdcall WatchMain(void) {
    static char command[32768];
    static char directory[MAX_PATH + 1];
    STARTUPINFOA startup;
    PROCESS_INFORMATION process;
    DWORD code = 0;
    unsigned short port = BenchPortFromEnvironment();
    DWORD n = GetEnvironmentVariableA("ROMSHELL_BENCH_COMMAND", command, sizeof command);
    DWORD d = GetEnvironmentVariableA("ROMSHELL_BENCH_DIRECTORY", directory, sizeof directory);
    if (n == 0 || n >= sizeof command || d >= sizeof directory) {
        BenchComplain("bench watcher: ROMSHELL_BENCH_COMMAND is not set");
        ExitProcess(EXIT_NO_SERVER);
    }
    gServer = port != 0 ? BenchConnect(port) : INVALID_SOCKET;
    if (gServer == INVALID_SOCKET) {
        BenchComplain("bench watcher: no notebook-emu server");
        ExitProcess(EXIT_NO_SERVER);
    }
    /* A service that runs before the program starts is started by Wine's service manager as the
     * prefix comes up: its device is waited for, at most 30 s. */
    if (GetEnvironmentVariableA("ROMSHELL_BENCH_WAIT_DEVICE", directory, sizeof directory) > 0) {
        int tries;
        for (tries = 0; tries < 300; ++tries) {
            HANDLE device = CreateFileA("\\\\.\\ADDMEM", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
            if (device != INVALID_HANDLE_VALUE) {
                CloseHandle(device);
                break;
            }
            Sleep(100);
        }
        if (tries == 300) BenchComplain("bench watcher: the running service's device never opened");
        SetEnvironmentVariableA("ROMSHELL_BENCH_WAIT_DEVICE", NULL);
    }
    d = GetEnvironmentVariableA("ROMSHELL_BENCH_DIRECTORY", directory, sizeof directory);
    /* The program sees the environment a person's session has, not the bench's own values. */
    SetEnvironmentVariableA("ROMSHELL_BENCH_COMMAND", NULL);
    SetEnvironmentVariableA("ROMSHELL_BENCH_DIRECTORY", NULL);
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    if (!CreateProcessA(NULL, command, NULL, NULL, FALSE, 0, NULL, d > 0 ? directory : NULL, &startup, &process)) {
        BenchComplain("bench watcher: the program cannot be started");
        ExitProcess(EXIT_NO_SERVER);
    }
    gProgram = process.dwProcessId;
    while (WaitForSingleObject(process.hProcess, 50) == WAIT_TIMEOUT) LookAtWindows();
    LookAtWindows();
    GetExitCodeProcess(process.hProcess, &code);
    BenchSendWord(gServer, EXIT_MAGIC);
    BenchSendWord(gServer, code);
    Report("", 0);
    ExitProcess(code);
}
