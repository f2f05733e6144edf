#include "core/context.h"

#include <new>

UpdateContext ctx;

void ResetUpdateContext() {
    ctx.~UpdateContext();
    new (&ctx) UpdateContext();
}
