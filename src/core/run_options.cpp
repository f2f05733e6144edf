#include "core/run_options.h"

#include "base/text.h"

uint32_t RunOptionBitByName(const char* name) {
    for (const RunOptionName& row : kRunOptionNames) {
        if (EqualIgnoreCase(row.name, name)) return row.bit;
    }
    return 0;
}
