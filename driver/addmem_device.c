/* The kernel side of the ADDMEM access driver: the device "\Device\ADDMEM" with its link
 * "\DosDevices\ADDMEM" (opened by the program as "\\.\ADDMEM"), open to Administrators and SYSTEM
 * only, whose device I/O control requests go through the request core to the backend the driver
 * is linked with (the hardware, or the Wine bench's line to notebook-emu). */
#include <ntifs.h>

#include "addmem_core.h"
#include "addmem_device.h"

static UNICODE_STRING gDeviceName;
static UNICODE_STRING gLinkName;
static struct AddmemCore gCore;

/* SIDs written out: SYSTEM (S-1-5-18) and the Administrators alias (S-1-5-32-544). */
typedef struct {
    UCHAR revision;
    UCHAR subAuthorityCount;
    UCHAR authority[6];
    ULONG subAuthority[2];
} TwoLevelSid;
static TwoLevelSid gSystemSid = {1, 1, {0, 0, 0, 0, 0, 5}, {18, 0}};
static TwoLevelSid gAdministratorsSid = {1, 2, {0, 0, 0, 0, 0, 5}, {32, 544}};

/* Replaces the device's default security (which lets every user open it) with a DACL that
 * grants Administrators and SYSTEM alone. */
static NTSTATUS Protect(DEVICE_OBJECT* device) {
    static ULONG aclSpace[64];
    ACL* acl = (ACL*)aclSpace;
    SECURITY_DESCRIPTOR descriptor;
    NTSTATUS status = RtlCreateSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    if (NT_SUCCESS(status)) status = RtlCreateAcl(acl, sizeof aclSpace, ACL_REVISION);
    if (NT_SUCCESS(status)) status = RtlAddAccessAllowedAce(acl, ACL_REVISION, GENERIC_ALL, (PSID)&gSystemSid);
    if (NT_SUCCESS(status)) status = RtlAddAccessAllowedAce(acl, ACL_REVISION, GENERIC_ALL, (PSID)&gAdministratorsSid);
    if (NT_SUCCESS(status)) status = RtlSetDaclSecurityDescriptor(&descriptor, TRUE, acl, FALSE);
    if (NT_SUCCESS(status)) {
        /* Through a kernel handle with WRITE_DAC on the device object. */
        HANDLE handle = NULL;
        status = ObOpenObjectByPointer(device, OBJ_KERNEL_HANDLE, NULL, WRITE_DAC, NULL, KernelMode, &handle);
        if (NT_SUCCESS(status)) {
            status = ZwSetSecurityObject(handle, DACL_SECURITY_INFORMATION, &descriptor);
            ZwClose(handle);
        }
    }
    return status;
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
    uint32_t returned = 0;
    NTSTATUS status;
    (void)device;
    /* Every code the core knows is buffered: the system buffer holds the input and takes the
     * output, so the core never touches a user address. */
    switch (AddmemRequest(&gCore, code, (uint8_t*)irp->AssociatedIrp.SystemBuffer,
                          stack->Parameters.DeviceIoControl.InputBufferLength,
                          stack->Parameters.DeviceIoControl.OutputBufferLength, &returned)) {
        case ADDMEM_OK: status = STATUS_SUCCESS; break;
        case ADDMEM_BAD_LENGTH: status = STATUS_INVALID_PARAMETER; break;
        case ADDMEM_UNKNOWN_CODE: status = STATUS_INVALID_DEVICE_REQUEST; break;
        case ADDMEM_REFUSED: status = STATUS_ACCESS_DENIED; break;
        default: status = STATUS_IO_DEVICE_ERROR; break;
    }
    return Complete(irp, status, NT_SUCCESS(status) ? returned : 0);
}

static VOID NTAPI OnUnload(DRIVER_OBJECT* driver) {
    if (gCore.refusedLength != 0 || gCore.refusedAddress != 0) {
        DbgPrint("ADDMEM: refused %lu requests for their lengths and %lu for their addresses\n",
                 (unsigned long)gCore.refusedLength, (unsigned long)gCore.refusedAddress);
    }
    IoDeleteSymbolicLink(&gLinkName);
    if (driver->DeviceObject != NULL) IoDeleteDevice(driver->DeviceObject);
    AddmemBackendStop();
}

NTSTATUS NTAPI DriverEntry(DRIVER_OBJECT* driver, UNICODE_STRING* registryPath) {
    DEVICE_OBJECT* device = NULL;
    NTSTATUS status;
    (void)registryPath;
    RtlInitUnicodeString(&gDeviceName, L"\\Device\\ADDMEM");
    RtlInitUnicodeString(&gLinkName, L"\\DosDevices\\ADDMEM");
    /* FILE_DEVICE_SECURE_OPEN: a name below the device ("\\.\ADDMEM\x") is checked against the
     * same DACL as the device itself. */
    status = IoCreateDevice(driver, 0, &gDeviceName, FILE_DEVICE_UNKNOWN, FILE_DEVICE_SECURE_OPEN, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    status = Protect(device);
    if (NT_SUCCESS(status)) status = IoCreateSymbolicLink(&gLinkName, &gDeviceName);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(device);
        return status;
    }
    AddmemCoreStart(&gCore, &kAddmemBackend, NULL);
    device->Flags |= DO_BUFFERED_IO;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    driver->MajorFunction[IRP_MJ_CREATE] = OnCreateClose;
    driver->MajorFunction[IRP_MJ_CLOSE] = OnCreateClose;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = OnDeviceControl;
    driver->DriverUnload = OnUnload;
    return STATUS_SUCCESS;
}
