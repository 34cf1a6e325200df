// The player's side of the plug-in contract.
#include "plugin_loader.h"

BOOL openPlugin(const char *path, HWND player, LoadedPlugin &loaded, char (&error)[LOADER_MESSAGE_SIZE])
{
    ZeroMemory(&loaded, sizeof loaded);
    error[0] = '\0';
    if (GetFileAttributesA(path) == INVALID_FILE_ATTRIBUTES) {
        wsprintfA(error, "%.300s: file not found; give the path of a gen_*.dll plug-in", path);
        return FALSE;
    }
    HMODULE module = LoadLibraryA(path);
    if (module == NULL) {
        wsprintfA(error, "%.300s: cannot be loaded (error %lu); is it a 32-bit DLL?", path, GetLastError());
        return FALSE;
    }
    GetPluginHeaderProc getHeader = (GetPluginHeaderProc)(void *)GetProcAddress(module, PLUGIN_HEADER_EXPORT);
    PluginHeader *header = getHeader != NULL ? getHeader() : NULL;
    if (header == NULL) {
        wsprintfA(error, "%.300s: not a general-purpose plug-in (no %s export)", path, PLUGIN_HEADER_EXPORT);
        FreeLibrary(module);
        return FALSE;
    }
    if (header->version != PLUGIN_HEADER_VERSION) {
        wsprintfA(error, "%.300s: plug-in header version 0x%x, this player needs 0x%x", path, header->version,
                  PLUGIN_HEADER_VERSION);
        FreeLibrary(module);
        return FALSE;
    }
    header->hwndParent = player;
    header->hDllInstance = module;
    loaded.module = module;
    loaded.header = header;
    lstrcpynA(loaded.path, path, MAX_PATH);
    return TRUE;
}

BOOL loadPlugin(const char *path, HWND player, LoadedPlugin &loaded, char (&error)[LOADER_MESSAGE_SIZE])
{
    if (!openPlugin(path, player, loaded, error))
        return FALSE;
    (void)loaded.header->init();
    return TRUE;
}

void unloadPlugin(LoadedPlugin &loaded)
{
    if (loaded.module == NULL)
        return;
    loaded.header->quit();
    FreeLibrary(loaded.module);
    loaded.module = NULL;
    loaded.header = NULL;
}

BOOL addPlugin(const char *path, HWND player, PluginSet &set, void (*report)(const char *line))
{
    char error[LOADER_MESSAGE_SIZE];
    if (set.count == MAX_LOADED_PLUGINS) {
        wsprintfA(error, "%.300s: not loaded, this player takes at most %d plug-ins", path, MAX_LOADED_PLUGINS);
        report(error);
        return FALSE;
    }
    LoadedPlugin &loaded = set.plugins[set.count];
    if (!openPlugin(path, player, loaded, error)) {
        report(error);
        return FALSE;
    }
    if (set.beforeInit != NULL)
        set.beforeInit(loaded.module);
    (void)loaded.header->init();
    ++set.count;
    return TRUE;
}

BOOL joinPath(char (&path)[MAX_PATH], const char *folder, const char *name)
{
    if (lstrlenA(folder) + 1 + lstrlenA(name) >= MAX_PATH)
        return FALSE;
    wsprintfA(path, "%s\\%s", folder, name);
    return TRUE;
}

void loadPluginFolder(const char *folder, HWND player, PluginSet &set, void (*report)(const char *line))
{
    char pattern[MAX_PATH];
    WIN32_FIND_DATAA found;
    HANDLE search = joinPath(pattern, folder, "gen_*.dll") ? FindFirstFileA(pattern, &found) : INVALID_HANDLE_VALUE;
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        char path[MAX_PATH];
        if (joinPath(path, folder, found.cFileName))
            (void)addPlugin(path, player, set, report);
    } while (FindNextFileA(search, &found));
    FindClose(search);
}

void unloadAllPlugins(PluginSet &set)
{
    // The reverse of loading, so that subclasses come off the player window in order.
    while (set.count > 0)
        unloadPlugin(set.plugins[--set.count]);
}

BOOL pathBesideProgram(char (&path)[MAX_PATH], const char *relative)
{
    DWORD length = GetModuleFileNameA(NULL, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return FALSE;
    while (length > 0 && path[length - 1] != '\\')
        --length;
    if (length + lstrlenA(relative) >= MAX_PATH)
        return FALSE;
    lstrcpyA(path + length, relative);
    return TRUE;
}
