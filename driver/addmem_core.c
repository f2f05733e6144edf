/* The request core of the ADDMEM access driver (see addmem_core.h). */
#include "addmem_core.h"

#define ENTRY_STEP 16u
#define SEARCH_CHUNK 256u
#define TABLE_LENGTH_OFFSET 6u
#define TABLE_ADDRESS_OFFSET 8u

static uint32_t Load(const uint8_t* p, unsigned width) {
    uint32_t v = 0;
    unsigned i;
    for (i = 0; i < width; ++i) v |= (uint32_t)p[i] << (8 * i);
    return v;
}

static void Store(uint8_t* p, unsigned width, uint32_t v) {
    unsigned i;
    for (i = 0; i < width; ++i) p[i] = (uint8_t)(v >> (8 * i));
}

static uint64_t Load64(const uint8_t* p) { return (uint64_t)Load(p, 4) | ((uint64_t)Load(p + 4, 4) << 32); }

/* The first "_DMI_" anchor on a 16-byte step in the BIOS area, read a chunk at a time (a chunk is
 * a whole number of steps, so an entry point never spans two). */
static void FindTable(struct AddmemCore* core) {
    uint8_t chunk[SEARCH_CHUNK];
    uint32_t at, step;
    core->tableAddress = 0;
    core->tableLength = 0;
    for (at = 0; at < ADDMEM_BIOS_AREA_SIZE; at += SEARCH_CHUNK) {
        if (!core->backend->memoryRead(core->context, ADDMEM_BIOS_AREA + at, SEARCH_CHUNK, chunk)) return;
        for (step = 0; step < SEARCH_CHUNK; step += ENTRY_STEP) {
            const uint8_t* e = chunk + step;
            uint32_t address;
            if (e[0] != '_' || e[1] != 'D' || e[2] != 'M' || e[3] != 'I' || e[4] != '_') continue;
            address = Load(e + TABLE_ADDRESS_OFFSET, 4);
            if (address == 0 || address == 0xFFFFFFFFu) return;
            core->tableAddress = address;
            core->tableLength = Load(e + TABLE_LENGTH_OFFSET, 2);
            return;
        }
    }
}

void AddmemCoreStart(struct AddmemCore* core, const struct AddmemBackend* backend, void* context) {
    core->backend = backend;
    core->context = context;
    core->refusedLength = 0;
    core->refusedAddress = 0;
    FindTable(core);
}

/* [address, address + length) inside [begin, end); no sum that could wrap. */
static int Inside(uint64_t address, uint32_t length, uint64_t begin, uint64_t end) {
    return address >= begin && address <= end && length <= end - address;
}

int AddmemMemoryAllowed(const struct AddmemCore* core, uint64_t address, uint32_t length, int write) {
    if (length == 0) return 0;
    if (Inside(address, length, 0, ADDMEM_LOW_MEMORY_END)) return 1;
    if (write) return 0;
    if (Inside(address, length, ADDMEM_ROM_WINDOW, ADDMEM_ROM_WINDOW_END)) return 1;
    return core->tableLength != 0 && address < core->tableAddress + core->tableLength &&
           Inside(address, length, core->tableAddress,
                  core->tableAddress + core->tableLength + ADDMEM_TABLE_TAIL);
}

/* Port requests: width by code, and whether it writes. */
static unsigned PortWidth(uint32_t code, int* write) {
    switch (code) {
        case ADDMEM_WRITE_PORT_BYTE: *write = 1; return 1;
        case ADDMEM_READ_PORT_BYTE: *write = 0; return 1;
        case ADDMEM_WRITE_PORT_WORD: *write = 1; return 2;
        case ADDMEM_READ_PORT_WORD: *write = 0; return 2;
        case ADDMEM_WRITE_PORT_DWORD: *write = 1; return 4;
        case ADDMEM_READ_PORT_DWORD: *write = 0; return 4;
        default: return 0;
    }
}

static enum AddmemStatus Refuse(struct AddmemCore* core, enum AddmemStatus status) {
    if (status == ADDMEM_REFUSED) {
        ++core->refusedAddress;
    } else {
        ++core->refusedLength;
    }
    return status;
}

enum AddmemStatus AddmemRequest(struct AddmemCore* core, uint32_t code, uint8_t* buffer, uint32_t inLength,
                                uint32_t outSize, uint32_t* returned) {
    int write = 0;
    unsigned width = PortWidth(code, &write);
    *returned = 0;
    if (width != 0) {
        uint32_t port, value = 0;
        if (inLength != 8 || outSize != width || buffer == 0) return Refuse(core, ADDMEM_BAD_LENGTH);
        port = Load(buffer, 4);
        if (port > 0xFFFFu) return Refuse(core, ADDMEM_BAD_LENGTH);
        if (write) {
            value = Load(buffer + 4, width);
            return core->backend->portOut(core->context, (uint16_t)port, width, value) ? ADDMEM_OK : ADDMEM_FAILED;
        }
        if (!core->backend->portIn(core->context, (uint16_t)port, width, &value)) return ADDMEM_FAILED;
        Store(buffer, width, value);
        *returned = width;
        return ADDMEM_OK;
    }
    if (code == ADDMEM_READ_MEMORY || code == ADDMEM_WRITE_MEMORY) {
        const int isWrite = code == ADDMEM_WRITE_MEMORY;
        uint64_t address;
        /* The output is the block: the destination of a read, the caller's own source of a
         * write (never written back, or the I/O manager would copy the record over it). */
        if (buffer == 0 || outSize == 0 || inLength < 8u || (isWrite ? inLength - 8u != outSize : inLength != 8u))
            return Refuse(core, ADDMEM_BAD_LENGTH);
        address = Load64(buffer);
        if (!AddmemMemoryAllowed(core, address, outSize, isWrite)) return Refuse(core, ADDMEM_REFUSED);
        if (isWrite) {
            return core->backend->memoryWrite(core->context, address, outSize, buffer + 8) ? ADDMEM_OK : ADDMEM_FAILED;
        }
        if (!core->backend->memoryRead(core->context, address, outSize, buffer)) return ADDMEM_FAILED;
        *returned = outSize;
        return ADDMEM_OK;
    }
    return Refuse(core, ADDMEM_UNKNOWN_CODE);
}
