// What the player and a general-purpose plug-in share: the header record the plug-in hands
// out, the play-state query and the transport commands seen at the player window.
// Included by the plug-in and by the stand-in player alike.
#pragma once
#include <windows.h>

struct PluginHeader {
    int version;
    const char *description;
    int (*init)(void);
    void (*config)(void);
    void (*quit)(void);
    HWND hwndParent;
    HINSTANCE hDllInstance;
};
static_assert(sizeof(PluginHeader) == 28, "PluginHeader layout is shared with the player");

enum {
    PLUGIN_HEADER_VERSION = 0x10,
    PLAY_STATE_QUERY = WM_USER,
    PLAY_STATE_QUERY_LPARAM = 104,
    PLAY_STATE_STOPPED = 0,
    PLAY_STATE_PLAYING = 1,
    PLAY_STATE_PAUSED = 3,
};

enum {
    CMD_PREVIOUS = 40044,
    CMD_PLAY = 40045,
    CMD_PAUSE = 40046,
    CMD_STOP = 40047,
    CMD_NEXT = 40048,
};

typedef PluginHeader *(*GetPluginHeaderProc)(void);
#define PLUGIN_HEADER_EXPORT "winampGetGeneralPurposePlugin"
