// Swaps one imported function in a loaded module's import table, so that the module's own
// calls reach a replacement. Used to produce what Wine cannot (a locked workstation) and to
// count or fail the calls a module makes.
#pragma once
#include <windows.h>

// Returns the address the import held before, or NULL when the module does not import it.
void *patchImport(HMODULE module, const char *dllName, const char *functionName, void *replacement);

// Binds a pointer to the system's own function, past any patched import table: what a
// replacement calls to reach the real thing.
template <typename Function> void bindSystemFunction(Function &pointer, const char *dllName, const char *functionName)
{
    pointer = (Function)(void *)GetProcAddress(LoadLibraryA(dllName), functionName);
}

// Patches one import of the module and binds original to the system's function behind it,
// which the replacement calls. FALSE when the module does not import the function.
template <typename Function>
BOOL interceptImport(HMODULE module, const char *dllName, const char *functionName, Function replacement,
                     Function &original)
{
    bindSystemFunction(original, dllName, functionName);
    return patchImport(module, dllName, functionName, (void *)replacement) != NULL;
}
