// The player's side of the plug-in contract.
#include "plugin_loader.h"

BOOL openPlugin(const char *path, HWND player, LoadedPlugin &loaded, char (&error)[LOADER_MESSAGE_SIZE])
{
    ZeroMemory(&loaded, sizeof loaded);
    error[0] = '\0';
    if (GetFileAttributesA(path) == INVALID_FILE_ATTRIBUTES) {
        wsprintfA(error, "%s: file not found; give the path of a gen_*.dll plug-in", path);
        return FALSE;
    }
    HMODULE module = LoadLibraryA(path);
    if (module == NULL) {
        wsprintfA(error, "%s: cannot be loaded (error %lu); is it a 32-bit DLL?", path, GetLastError());
        return FALSE;
    }
    GetPluginHeaderProc getHeader = (GetPluginHeaderProc)(void *)GetProcAddress(module, PLUGIN_HEADER_EXPORT);
    PluginHeader *header = getHeader != NULL ? getHeader() : NULL;
    if (header == NULL) {
        wsprintfA(error, "%s: not a general-purpose plug-in (no %s export)", path, PLUGIN_HEADER_EXPORT);
        FreeLibrary(module);
        return FALSE;
    }
    if (header->version != PLUGIN_HEADER_VERSION) {
        wsprintfA(error, "%s: plug-in header version 0x%x, this player needs 0x%x", path, header->version,
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

void loadPluginFolder(const char *folder, HWND player, PluginSet &set, void (*report)(const char *line))
{
    char pattern[MAX_PATH];
    wsprintfA(pattern, "%s\\gen_*.dll", folder);
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(pattern, &found);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        if (set.count == MAX_LOADED_PLUGINS)
            break;
        char path[MAX_PATH];
        char error[LOADER_MESSAGE_SIZE];
        wsprintfA(path, "%s\\%s", folder, found.cFileName);
        if (loadPlugin(path, player, set.plugins[set.count], error))
            ++set.count;
        else
            report(error);
    } while (FindNextFileA(search, &found));
    FindClose(search);
}

void unloadAllPlugins(PluginSet &set)
{
    // The reverse of loading, so that subclasses come off the player window in order.
    while (set.count > 0)
        unloadPlugin(set.plugins[--set.count]);
}

void pluginFolderBesideProgram(char (&folder)[MAX_PATH])
{
    DWORD length = GetModuleFileNameA(NULL, folder, MAX_PATH);
    while (length > 0 && folder[length - 1] != '\\')
        --length;
    folder[length] = '\0';
    lstrcatA(folder, "Plugins");
}
