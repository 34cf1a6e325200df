// Loads general-purpose plug-ins the way the player does: the export by name, the header's
// version checked, the two handles filled before init; quit then FreeLibrary on the way out.
#pragma once
#include <windows.h>

#include "plugin/host_contract.h"

enum { MAX_LOADED_PLUGINS = 8, LOADER_MESSAGE_SIZE = 400 };

struct LoadedPlugin {
    HMODULE module;
    PluginHeader *header;
    char path[MAX_PATH];
};

struct PluginSet {
    LoadedPlugin plugins[MAX_LOADED_PLUGINS];
    int count;
    // Called between loading a module and its init, for a player that intercepts its imports.
    void (*beforeInit)(HMODULE module);
};

// FALSE with a one-line reason when the file is missing, is no plug-in or has the wrong
// header version; the module is then unloaded again. openPlugin stops short of init, for a
// caller that must intercept the module's imports first; loadPlugin also calls init.
BOOL openPlugin(const char *path, HWND player, LoadedPlugin &loaded, char (&error)[LOADER_MESSAGE_SIZE]);
BOOL loadPlugin(const char *path, HWND player, LoadedPlugin &loaded, char (&error)[LOADER_MESSAGE_SIZE]);
void unloadPlugin(LoadedPlugin &loaded);
// Loads one more plug-in into the set; a failure, or a full set, is reported through report().
BOOL addPlugin(const char *path, HWND player, PluginSet &set, void (*report)(const char *line));
// Every gen_*.dll in the folder, in name order as the file system lists them; each failure
// is reported through report() and skipped.
void loadPluginFolder(const char *folder, HWND player, PluginSet &set, void (*report)(const char *line));
void unloadAllPlugins(PluginSet &set);
// The folder and a name in it; FALSE when the two do not fit in one path.
BOOL joinPath(char (&path)[MAX_PATH], const char *folder, const char *name);
// A path relative to the folder of the running program; FALSE when it would not fit.
BOOL pathBesideProgram(char (&path)[MAX_PATH], const char *relative);
