// Swaps one imported function in a loaded module's import table, so that the module's own
// calls reach a replacement. Used to produce what Wine cannot (a locked workstation) and to
// count or fail the calls a module makes.
#pragma once
#include <windows.h>

// Returns the address the import held before, or NULL when the module does not import it.
void *patchImport(HMODULE module, const char *dllName, const char *functionName, void *replacement);
