/* The hardware backend of the ADDMEM driver: the processor's port instructions, and physical
 * memory through a non-cached mapping made for each request and released after it. */
#include <ntddk.h>

#include "addmem_device.h"

static int PortIn(void* context, uint16_t port, unsigned width, uint32_t* value) {
    (void)context;
    if (width == 1) {
        uint8_t v;
        __asm__ __volatile__("inb %w1, %b0" : "=a"(v) : "Nd"(port));
        *value = v;
    } else if (width == 2) {
        uint16_t v;
        __asm__ __volatile__("inw %w1, %w0" : "=a"(v) : "Nd"(port));
        *value = v;
    } else {
        uint32_t v;
        __asm__ __volatile__("inl %w1, %0" : "=a"(v) : "Nd"(port));
        *value = v;
    }
    return 1;
}

static int PortOut(void* context, uint16_t port, unsigned width, uint32_t value) {
    (void)context;
    if (width == 1) {
        __asm__ __volatile__("outb %b0, %w1" : : "a"((uint8_t)value), "Nd"(port));
    } else if (width == 2) {
        __asm__ __volatile__("outw %w0, %w1" : : "a"((uint16_t)value), "Nd"(port));
    } else {
        __asm__ __volatile__("outl %0, %w1" : : "a"(value), "Nd"(port));
    }
    return 1;
}

static volatile uint8_t* Map(uint64_t address, uint32_t length) {
    PHYSICAL_ADDRESS physical;
    physical.QuadPart = (LONGLONG)address;
    return (volatile uint8_t*)MmMapIoSpace(physical, length, MmNonCached);
}

/* Byte by byte through volatile pointers: device memory such as the flash window is read as the
 * bus answers, and the compiler may not merge or widen the accesses. */
static int MemoryRead(void* context, uint64_t address, uint32_t length, uint8_t* to) {
    volatile uint8_t* mapped = Map(address, length);
    uint32_t i;
    (void)context;
    if (mapped == NULL) return 0;
    for (i = 0; i < length; ++i) to[i] = mapped[i];
    MmUnmapIoSpace((PVOID)mapped, length);
    return 1;
}

static int MemoryWrite(void* context, uint64_t address, uint32_t length, const uint8_t* from) {
    volatile uint8_t* mapped = Map(address, length);
    uint32_t i;
    (void)context;
    if (mapped == NULL) return 0;
    for (i = 0; i < length; ++i) mapped[i] = from[i];
    MmUnmapIoSpace((PVOID)mapped, length);
    return 1;
}

const struct AddmemBackend kAddmemBackend = {PortIn, PortOut, MemoryRead, MemoryWrite};

void AddmemBackendStop(void) {}
