/* The request core of the ADDMEM access driver: the device I/O control requests the program
 * sends to "\\.\ADDMEM", their exact record lengths, and the limits on the physical memory they
 * may reach. Plain C without kernel headers, so that the same code runs in the Windows driver
 * (hardware backend), in the Wine bench's driver (a backend that forwards to notebook-emu) and in
 * the Linux unit tests (a stand-in backend).
 *
 * Requests (buffered; input and output share one buffer):
 *   port write  0x222034 / 0x22203C / 0x222044 (width 1 / 2 / 4): input 8 bytes (u32 port,
 *               u32 value in its low bytes), output exactly the width (not written)
 *   port read   0x222038 / 0x222040 / 0x222048: input 8 bytes (u32 port, u32 zero), output
 *               exactly the width (receives the value)
 *   memory read 0x22204C: input 8 bytes (u64 physical address), output the block length
 *   memory write 0x222050: input 8 + length bytes (address, block), output the block length (not
 *               written: it is the caller's source block)
 * All fields little-endian. Any other length is refused as a bad parameter.
 *
 * Physical memory is limited to what the program reads and writes:
 *   - reads and writes inside the first megabyte (the BIOS area, and the software SMI request
 *     buffer, written and read back there);
 *   - reads inside the DMI structure table that the "_DMI_" entry point in the BIOS area names,
 *     wherever the table lies, plus the bytes a string read may run past its end;
 *   - reads inside the top megabyte below 4 GiB (the BIOS flash window).
 * Everything else is refused before the backend sees it, and counted. */
#ifndef ADDMEM_CORE_H
#define ADDMEM_CORE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define ADDMEM_WRITE_PORT_BYTE 0x222034u
#define ADDMEM_READ_PORT_BYTE 0x222038u
#define ADDMEM_WRITE_PORT_WORD 0x22203Cu
#define ADDMEM_READ_PORT_WORD 0x222040u
#define ADDMEM_WRITE_PORT_DWORD 0x222044u
#define ADDMEM_READ_PORT_DWORD 0x222048u
#define ADDMEM_READ_MEMORY 0x22204Cu
#define ADDMEM_WRITE_MEMORY 0x222050u

#define ADDMEM_LOW_MEMORY_END 0x100000u          /* reads and writes below this */
#define ADDMEM_BIOS_AREA 0xF0000u                /* searched for the DMI entry point */
#define ADDMEM_BIOS_AREA_SIZE 0x10000u
#define ADDMEM_ROM_WINDOW 0xFFF00000u            /* reads from here up to 4 GiB */
#define ADDMEM_ROM_WINDOW_END 0x100000000ull
/* A DMI string is read in blocks of this size: a block that begins inside the table may run
 * this far past its end. */
#define ADDMEM_TABLE_TAIL 32u

enum AddmemStatus {
    ADDMEM_OK = 0,
    ADDMEM_BAD_LENGTH,    /* a known code with a record of another length, or port above 0xFFFF */
    ADDMEM_UNKNOWN_CODE,  /* not one of the eight requests */
    ADDMEM_REFUSED,       /* physical memory outside the limits: never mapped */
    ADDMEM_FAILED         /* the backend could not carry the request out */
};

/* What carries a checked request out. Each returns nonzero on success. */
struct AddmemBackend {
    int (*portIn)(void* context, uint16_t port, unsigned width, uint32_t* value);
    int (*portOut)(void* context, uint16_t port, unsigned width, uint32_t value);
    int (*memoryRead)(void* context, uint64_t address, uint32_t length, uint8_t* to);
    int (*memoryWrite)(void* context, uint64_t address, uint32_t length, const uint8_t* from);
};

struct AddmemCore {
    const struct AddmemBackend* backend;
    void* context;
    uint64_t tableAddress;  /* the DMI structure table; length 0: none found */
    uint32_t tableLength;
    uint32_t refusedLength;   /* requests refused for their lengths or an unknown code */
    uint32_t refusedAddress;  /* memory requests refused for their addresses */
};

/* Binds the core to its backend and finds the DMI structure table through the entry point in
 * the BIOS area. Called once, when the driver starts and before any request: the table's place
 * is taken from the firmware as it booted, not from memory a later request may have written. */
void AddmemCoreStart(struct AddmemCore* core, const struct AddmemBackend* backend, void* context);

/* True when a memory request of `length` bytes at `address` lies inside the limits. */
int AddmemMemoryAllowed(const struct AddmemCore* core, uint64_t address, uint32_t length, int write);

/* Serves one request. `buffer` holds the input (inLength bytes) and receives the output; it is at
 * least max(inLength, outSize) bytes. *returned is the number of output bytes to hand back. */
enum AddmemStatus AddmemRequest(struct AddmemCore* core, uint32_t code, uint8_t* buffer, uint32_t inLength,
                                uint32_t outSize, uint32_t* returned);

#ifdef __cplusplus
}
#endif

#endif
