/* The ADDMEM access driver of the Wine test bench.
 *
 * Wine's service control manager loads this file as the "ADDMEM" kernel driver service. It
 * creates the device the program opens as "\\.\ADDMEM" and hands every device I/O control
 * request, as it came (code, input bytes, output size), to the notebook-emu server over loopback
 * TCP. The server decodes it with the emulated notebook's own ADDMEM device and answers with a
 * status and the output bytes, so that the real program under Wine and the emulated program meet
 * the same model of the hardware.
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
#include "link.h"

#define REQUEST_MAGIC 0x514D4441u /* "ADMQ" */
/* The largest block the notebook's device maps at once, with the memory request's address. */
#define LARGEST_TRANSFER (0x1000000u + 8u)

/* Kept in the file (never read): the release tool finds it there. */
__attribute__((used)) static const char kBenchMarker[] = ROMSHELL_BENCH_DRIVER_MARKER;

static UNICODE_STRING gDeviceName;
static UNICODE_STRING gLinkName;

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
static NTSTATUS Forward(ULONG code, void* buffer, ULONG inLength, ULONG outSize, ULONG* returned) {
    ULONG header[4];
    ULONG reply[2];
    unsigned short port = ServerPort();
    *returned = 0;
    if (port == 0) return STATUS_DEVICE_NOT_CONNECTED;
    header[0] = REQUEST_MAGIC;
    header[1] = code;
    header[2] = inLength;
    header[3] = outSize;
    if (!LinkSend(port, header, sizeof header) || !LinkSend(port, buffer, inLength) ||
        !LinkReceive(reply, sizeof reply)) {
        return STATUS_DEVICE_NOT_CONNECTED;
    }
    if (reply[1] > outSize) {
        /* A server that breaks the frame cannot be followed any further. */
        LinkClose();
        return STATUS_DEVICE_PROTOCOL_ERROR;
    }
    if (!LinkReceive(buffer, reply[1])) return STATUS_DEVICE_NOT_CONNECTED;
    *returned = reply[1];
    return (NTSTATUS)reply[0];
}

static NTSTATUS Complete(IRP* irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

static NTSTATUS NTAPI OnCreateClose(DEVICE_OBJECT* device, IRP* irp) {
    (void)device;
    return Complete(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS NTAPI OnDeviceControl(DEVICE_OBJECT* device, IRP* irp) {
    IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    ULONG inLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG outSize = stack->Parameters.DeviceIoControl.OutputBufferLength;
    void* buffer = irp->AssociatedIrp.SystemBuffer;
    ULONG returned = 0;
    NTSTATUS status;
    (void)device;
    /* Buffered requests only: the system buffer holds the input and receives the output. */
    if ((code & 3u) != METHOD_BUFFERED || inLength > LARGEST_TRANSFER || outSize > LARGEST_TRANSFER ||
        (buffer == NULL && (inLength != 0 || outSize != 0))) {
        return Complete(irp, STATUS_INVALID_PARAMETER, 0);
    }
    status = Forward(code, buffer, inLength, outSize, &returned);
    return Complete(irp, status, NT_SUCCESS(status) ? returned : 0);
}

static VOID NTAPI OnUnload(DRIVER_OBJECT* driver) {
    IoDeleteSymbolicLink(&gLinkName);
    if (driver->DeviceObject != NULL) IoDeleteDevice(driver->DeviceObject);
    LinkClose();
}

NTSTATUS NTAPI DriverEntry(DRIVER_OBJECT* driver, UNICODE_STRING* registryPath) {
    DEVICE_OBJECT* device = NULL;
    NTSTATUS status;
    (void)registryPath;
    RtlInitUnicodeString(&gDeviceName, L"\\Device\\Addmem");
    RtlInitUnicodeString(&gLinkName, L"\\DosDevices\\ADDMEM");
    status = IoCreateDevice(driver, 0, &gDeviceName, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    status = IoCreateSymbolicLink(&gLinkName, &gDeviceName);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(device);
        return status;
    }
    device->Flags |= DO_BUFFERED_IO;
    driver->MajorFunction[IRP_MJ_CREATE] = OnCreateClose;
    driver->MajorFunction[IRP_MJ_CLOSE] = OnCreateClose;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = OnDeviceControl;
    driver->DriverUnload = OnUnload;
    return STATUS_SUCCESS;
}
