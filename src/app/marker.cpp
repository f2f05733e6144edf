// The unpacker marker: a fixed text in the program's initialised data that identifies the program
// file as one that carries an update package. No code reads it; it must stay in the built file,
// hence "used" and a writable array (initialised data rather than read-only data).
#include "app/variant.h"

#if ROMSHELL_PHX
__attribute__((used)) char kUnpackerMarker[] = "UnPaCkErSiG@Version 1.50";
#else
__attribute__((used)) char kUnpackerMarker[] = "UnPaCkErSiG@Version 2.02";
#endif
