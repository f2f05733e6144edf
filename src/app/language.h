// The resource library in the system's language.
#pragma once

// Extracts and loads the language's resource library into resourceModule. 1 when a library was
// extracted and a load attempted (resourceModule may then be null), 0 when none was extracted.
int LoadResourceModule();
