#include "app/language.h"

// No language library is extracted yet: the program's own resources (English) answer every
// lookup, which is the fallback of a package without a library for the system's language.
int LoadResourceModule() { return 0; }
