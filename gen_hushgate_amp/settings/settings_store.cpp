// Keeps the settings in the section "Hushgate" of plugin.ini in the module's folder. Only
// that section is ever touched; nothing is written at quit.
#include "plugin/plugin.h"
#include "settings/settings.h"

static const char SETTINGS_SECTION[] = "Hushgate";
static const char SETTINGS_FILE_NAME[] = "plugin.ini";

struct SettingKey {
    const char *name;
    volatile LONG *field;
};

// The order in which both load and save handle the keys; a key added later goes last, so
// that files written before it keep their layout. ISDEVICELOST has no box in the dialog: OK
// writes back whatever was loaded.
static const SettingKey settingKeys[] = {
    {"ISLOCK", &pluginState.settings.isLock},
    {"ISSCREENSAVE", &pluginState.settings.isScreenSave},
    {"ISMUTE", &pluginState.settings.isMute},
    {"CHECKTIME", &pluginState.settings.checkTime},
    {"ISDEVICELOST", &pluginState.settings.isDeviceLost},
};

BOOL settingsFilePath(char (&path)[MAX_PATH])
{
    path[0] = '\0';
    DWORD length = GetModuleFileNameA(pluginHeader.hDllInstance, path, MAX_PATH);
    // A full buffer means the name was cut, and older systems then leave it unterminated.
    if (length == 0 || length >= MAX_PATH)
        return FALSE;
    // Byte by byte: a 0x5C that trails a double-byte character counts as a separator too.
    DWORD folderLength = length;
    while (folderLength > 0 && path[folderLength - 1] != '\\')
        --folderLength;
    if (folderLength + sizeof SETTINGS_FILE_NAME > MAX_PATH)
        return FALSE;
    path[folderLength] = '\0';
    (void)lstrcatA(path, SETTINGS_FILE_NAME);
    return TRUE;
}

void loadSettings(void)
{
    char path[MAX_PATH];
    if (!settingsFilePath(path))
        return;
    for (const SettingKey &key : settingKeys)
        *key.field = (LONG)GetPrivateProfileIntA(SETTINGS_SECTION, key.name, *key.field, path);
}

BOOL saveSettings(void)
{
    char path[MAX_PATH];
    if (!settingsFilePath(path))
        return FALSE;
    BOOL saved = TRUE;
    for (const SettingKey &key : settingKeys) {
        char text[32];
        (void)wsprintfA(text, "%d", (int)*key.field);
        if (!WritePrivateProfileStringA(SETTINGS_SECTION, key.name, text, path))
            saved = FALSE;
    }
    return saved;
}
