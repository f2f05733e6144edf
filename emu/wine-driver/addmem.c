/* The backend of the Wine test bench's ADDMEM driver.
 *
 * Wine's service control manager loads this driver (the shared kernel side and request core in
 * driver/, with this backend) as the "ADDMEM" kernel driver service. Every request the core
 * accepts is carried out by sending it, re-encoded as the ADDMEM request it stands for, to the
 * notebook-emu server over loopback TCP. The server decodes it with the emulated notebook's own
 * ADDMEM device and answers with a status and the output bytes, so that the real program under
 * Wine and the emulated program meet the same model of the hardware.
 *
 * The server's port is the value "Port" (REG_DWORD) of HKLM\Software\Romshell\NotebookEmu, which
 * the bench writes into the Wine prefix before the run.
 *
 * Frames, little-endian:
 *   request  u32 magic "ADMQ", u32 code, u32 input length, u32 output size, input bytes
 *   reply    u32 NTSTATUS, u32 output length (at most the output size), output bytes
 *
 * A test part: it goes only into the packages of the tests and the demo. */
#include <ntddk.h>

#include "bench_marker.h"
#include "driver/addmem_device.h"
#include "link.h"

#define REQUEST_MAGIC 0x514D4441u /* "ADMQ" */
/* The largest block the core lets through: the BIOS area read whole, a DMI table, the ROM
 * window; one request frame carries it and its address. */
#define LARGEST_BLOCK 0x100000u

/* Kept in the file (never read): the release tool finds it there. */
__attribute__((used)) static const char kBenchMarker[] = ROMSHELL_BENCH_DRIVER_MARKER;

static unsigned short ServerPort(void) {
    UNICODE_STRING keyName, valueName;
    OBJECT_ATTRIBUTES attributes;
    HANDLE key;
    ULONG got = 0;
    unsigned char buffer[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + sizeof(ULONG)];
    KEY_VALUE_PARTIAL_INFORMATION* value = (KEY_VALUE_PARTIAL_INFORMATION*)buffer;
    ULONG port = 0;

    RtlInitUnicodeString(&keyName, L"\\Registry\\Machine\\Software\\Romshell\\NotebookEmu");
    RtlInitUnicodeString(&valueName, L"Port");
    InitializeObjectAttributes(&attributes, &keyName, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    if (!NT_SUCCESS(ZwOpenKey(&key, KEY_READ, &attributes))) return 0;
    if (NT_SUCCESS(ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, value, sizeof buffer, &got)) &&
        value->Type == REG_DWORD && value->DataLength == sizeof(ULONG)) {
        port = *(const ULONG*)value->Data;
    }
    ZwClose(key);
    return port <= 0xFFFF ? (unsigned short)port : 0;
}

/* One request to the server; the status it answers, or a failure of the connection. */
static NTSTATUS Forward(ULONG code, const void* input, ULONG inLength, void* output, ULONG outSize, ULONG* returned) {
    ULONG header[4];
    ULONG reply[2];
    unsigned short port = ServerPort();
    *returned = 0;
    if (port == 0) return STATUS_DEVICE_NOT_CONNECTED;
    header[0] = REQUEST_MAGIC;
    header[1] = code;
    header[2] = inLength;
    header[3] = outSize;
    if (!LinkSend(port, header, sizeof header) || !LinkSend(port, input, inLength) ||
        !LinkReceive(reply, sizeof reply)) {
        return STATUS_DEVICE_NOT_CONNECTED;
    }
    if (reply[1] > outSize) {
        /* A server that breaks the frame cannot be followed any further. */
        LinkClose();
        return STATUS_DEVICE_PROTOCOL_ERROR;
    }
    if (!LinkReceive(output, reply[1])) return STATUS_DEVICE_NOT_CONNECTED;
    *returned = reply[1];
    return (NTSTATUS)reply[0];
}

/* One ADDMEM request to the server, which must answer with success and exactly `outSize` bytes. */
static int Send(ULONG code, const uint8_t* input, ULONG inLength, uint8_t* output, ULONG outSize) {
    ULONG returned = 0;
    return NT_SUCCESS(Forward(code, input, inLength, output, outSize, &returned)) && returned == outSize;
}

static void Put(uint8_t* p, unsigned width, uint64_t v) {
    unsigned i;
    for (i = 0; i < width; ++i) p[i] = (uint8_t)(v >> (8 * i));
}

static const ULONG kReadCodes[5] = {0, ADDMEM_READ_PORT_BYTE, ADDMEM_READ_PORT_WORD, 0, ADDMEM_READ_PORT_DWORD};
static const ULONG kWriteCodes[5] = {0, ADDMEM_WRITE_PORT_BYTE, ADDMEM_WRITE_PORT_WORD, 0, ADDMEM_WRITE_PORT_DWORD};

static int PortIn(void* context, uint16_t port, unsigned width, uint32_t* value) {
    uint8_t record[8] = {0};
    uint8_t out[4] = {0};
    unsigned i;
    (void)context;
    Put(record, 4, port);
    if (!Send(kReadCodes[width], record, sizeof record, out, width)) return 0;
    *value = 0;
    for (i = 0; i < width; ++i) *value |= (uint32_t)out[i] << (8 * i);
    return 1;
}

static int PortOut(void* context, uint16_t port, unsigned width, uint32_t value) {
    uint8_t record[8] = {0};
    uint8_t scratch[4];
    (void)context;
    Put(record, 4, port);
    Put(record + 4, width, value);
    /* A write's output is a scratch buffer: the server answers with none. */
    return NT_SUCCESS(Forward(kWriteCodes[width], record, sizeof record, scratch, width, &(ULONG){0}));
}

static int MemoryRead(void* context, uint64_t address, uint32_t length, uint8_t* to) {
    uint8_t record[8];
    (void)context;
    Put(record, 8, address);
    return length <= LARGEST_BLOCK && Send(ADDMEM_READ_MEMORY, record, sizeof record, to, length);
}

/* The write frame is the address and the block: sent as two pieces of one frame. */
static int MemoryWrite(void* context, uint64_t address, uint32_t length, const uint8_t* from) {
    static uint8_t frame[8 + LARGEST_BLOCK];
    ULONG returned = 0;
    unsigned i;
    (void)context;
    if (length > LARGEST_BLOCK) return 0;
    Put(frame, 8, address);
    for (i = 0; i < length; ++i) frame[8 + i] = from[i];
    return NT_SUCCESS(Forward(ADDMEM_WRITE_MEMORY, frame, 8 + length, frame, length, &returned));
}

const struct AddmemBackend kAddmemBackend = {PortIn, PortOut, MemoryRead, MemoryWrite};

void AddmemBackendStop(void) { LinkClose(); }
