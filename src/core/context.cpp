#include "core/context.h"

#include <new>

UpdateContext ctx;
void (*releaseBeforeAbruptEnd)() = nullptr;

void ResetUpdateContext() {
    ctx.~UpdateContext();
    new (&ctx) UpdateContext();
}
