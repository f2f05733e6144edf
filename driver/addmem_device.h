/* What a backend of the ADDMEM driver supplies to its kernel side (addmem_device.c): the
 * functions that carry checked requests out, and a stop called when the driver unloads. */
#ifndef ADDMEM_DEVICE_H
#define ADDMEM_DEVICE_H

#include "addmem_core.h"

extern const struct AddmemBackend kAddmemBackend;
void AddmemBackendStop(void);

#endif
