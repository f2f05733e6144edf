// The access driver: the kernel-mode device through which the program reaches I/O ports and
// physical memory.
//
// Which device is used follows from the Windows version: on 6.1 and 6.0 the devices that the
// maker's display utility installs (opened only, never installed here), on the other NT versions
// the program's own "ADDMEM" kernel driver service, on the Windows 9x family a dynamically loaded
// VxD. Every hardware operation opens the device with OpenAccessDriver, issues its requests
// (hw/ports.h) and closes it with CloseAccessDriver.
#pragma once

#include "os/os.h"

enum class AccessDriverKind { Qlix, Kmdf, Addmem, Memio };

// Device paths of the four kinds.
inline constexpr const char* kQlixDevicePath = "\\\\.\\QLIX\\QlixDrv.log";
inline constexpr const char* kKmdfDevicePath = "\\\\.\\KMDFMEMIO\\kmdfmemiosamp.log";
inline constexpr const char* kAddmemDevicePath = "\\\\.\\ADDMEM";
inline constexpr const char* kMemioDevicePath = "\\\\.\\MEMIO.VXD";
inline constexpr const char* kAddmemServiceName = "ADDMEM";
inline constexpr const char* kAddmemDriverFile = "\\ADDMEM.SYS";
inline constexpr const char* kAddmemDriverFile64 = "\\ADDMEM64.SYS";

// Handle from the most recent open of the access device; InvalidHandle() when that open failed.
extern os::Handle driverHandle;
// The running Windows is of the NT family (recomputed by IsNtPlatform).
extern int isNt;

// The kind of device this Windows uses (after the version probe).
AccessDriverKind CurrentAccessDriverKind();

// NT family when the high bit of GetVersion is clear; stores the answer in isNt.
int IsNtPlatform();
// Opens the "ADDMEM" device (NT family) or the VxD (9x family) into driverHandle.
int OpenAddmemDevice();
// Stops and deletes the "ADDMEM" service; true on the 9x family, which has no services.
int RemoveAddmemService();
// Re-creates the "ADDMEM" service from "\ADDMEM.SYS" in the current directory ("\ADDMEM64.SYS"
// when the 64-bit driver was taken) and starts it.
int InstallAddmemService();
// Opens the Kmdf device for one request: up to 10 attempts, 50 ms apart.
int OpenKmdfDevice();
// One attempt to make this platform's access device usable.
int ProbeAccessDriver();
// Up to ten probes. On the display utility's devices a final failure calls the program's
// Variant::endWithoutDisplayUtility when it has one (romshell: "Driver Load Fail", exit code -1).
int OpenAccessDriver();
// Closes the handle held since OpenAccessDriver (none on the Kmdf path).
void CloseAccessDriver();

// Whether this run created (or re-created) the "ADDMEM" service; set by InstallAddmemService.
extern int addmemServiceCreated;
// Called on every end of a run that leaves Windows running, and before the switch-off: a service
// this run created is stopped and deleted, and the driver file it was registered from is deleted
// once the service is gone. A service the run found running, and used as it was, stays.
void ReleaseAddmemService();
