// The hard disks' identification through the disk driver's SMART requests.
#pragma once

#include <cstdint>

// The physical drives the SMART device map describes: 0 to 3.
inline constexpr int kSmartDriveCount = 4;
inline constexpr uint32_t kIdentifySize = 512;

// Reads the IDENTIFY data (ATA or, where the device map says so, ATAPI) of physical drive n into
// identify. False when the drive cannot be opened, the driver has no SMART version or device map,
// or the request fails.
bool ReadDriveIdentify(int drive, uint8_t (&identify)[kIdentifySize]);
