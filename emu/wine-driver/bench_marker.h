/* The words the Wine bench's ADDMEM driver carries in its file, so that the release tool can
 * recognise it in a package: the bench driver answers from an emulated notebook and must never
 * reach a real one. */
#pragma once

#define ROMSHELL_BENCH_DRIVER_MARKER "romshell test bench: ADDMEM requests go to notebook-emu over 127.0.0.1"
