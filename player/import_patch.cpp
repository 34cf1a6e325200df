// Walks the import descriptors of a mapped image; names come from the lookup table, the
// bound addresses live in the address table beside it.
#include "import_patch.h"

static void *rvaToPointer(HMODULE module, DWORD rva)
{
    return (BYTE *)module + rva;
}

static IMAGE_IMPORT_DESCRIPTOR *findImportedDll(HMODULE module, const char *dllName)
{
    IMAGE_DOS_HEADER *dos = (IMAGE_DOS_HEADER *)module;
    IMAGE_NT_HEADERS *nt = (IMAGE_NT_HEADERS *)rvaToPointer(module, dos->e_lfanew);
    IMAGE_DATA_DIRECTORY directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (directory.VirtualAddress == 0)
        return NULL;
    IMAGE_IMPORT_DESCRIPTOR *descriptor = (IMAGE_IMPORT_DESCRIPTOR *)rvaToPointer(module, directory.VirtualAddress);
    for (; descriptor->Name != 0; ++descriptor) {
        if (lstrcmpiA((const char *)rvaToPointer(module, descriptor->Name), dllName) == 0)
            return descriptor;
    }
    return NULL;
}

static BOOL importNameIs(HMODULE module, const IMAGE_THUNK_DATA *lookup, const char *functionName)
{
    if (IMAGE_SNAP_BY_ORDINAL(lookup->u1.Ordinal))
        return FALSE;
    IMAGE_IMPORT_BY_NAME *byName = (IMAGE_IMPORT_BY_NAME *)rvaToPointer(module, lookup->u1.AddressOfData);
    return lstrcmpA((const char *)byName->Name, functionName) == 0;
}

static void *swapAddress(IMAGE_THUNK_DATA *bound, void *replacement)
{
    DWORD oldProtection;
    if (!VirtualProtect(&bound->u1.Function, sizeof bound->u1.Function, PAGE_READWRITE, &oldProtection))
        return NULL;
    void *previous = (void *)bound->u1.Function;
    bound->u1.Function = (DWORD_PTR)replacement;
    (void)VirtualProtect(&bound->u1.Function, sizeof bound->u1.Function, oldProtection, &oldProtection);
    return previous;
}

void *patchImport(HMODULE module, const char *dllName, const char *functionName, void *replacement)
{
    IMAGE_IMPORT_DESCRIPTOR *descriptor = findImportedDll(module, dllName);
    if (descriptor == NULL || descriptor->OriginalFirstThunk == 0)
        return NULL;
    IMAGE_THUNK_DATA *lookup = (IMAGE_THUNK_DATA *)rvaToPointer(module, descriptor->OriginalFirstThunk);
    IMAGE_THUNK_DATA *bound = (IMAGE_THUNK_DATA *)rvaToPointer(module, descriptor->FirstThunk);
    for (; lookup->u1.AddressOfData != 0; ++lookup, ++bound) {
        if (importNameIs(module, lookup, functionName))
            return swapAddress(bound, replacement);
    }
    return NULL;
}
