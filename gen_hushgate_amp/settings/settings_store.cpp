// Keeps the settings in the section "Hushgate" of plugin.ini in the module's folder, or, where
// that folder cannot be written (a player under Program Files run by a standard user), of the
// user's own %APPDATA%\Hushgate\plugin.ini. Only that section is ever touched; nothing is
// written at quit.
#include "plugin/plugin.h"
#include "settings/settings.h"

static const char SETTINGS_SECTION[] = "Hushgate";
static const char SETTINGS_FILE_NAME[] = "plugin.ini";
static const char USER_SETTINGS_TAIL[] = "\\Hushgate\\plugin.ini";

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

static BOOL isAbsolutePath(const char *path)
{
    return (path[0] == '\\' && path[1] == '\\') || (path[0] != '\0' && path[1] == ':' && path[2] == '\\');
}

BOOL userSettingsFilePath(char (&path)[MAX_PATH])
{
    DWORD length = GetEnvironmentVariableA("APPDATA", path, MAX_PATH);
    // A value too long for the buffer gives the size it needs and leaves the buffer undefined.
    if (length == 0 || length >= MAX_PATH) {
        path[0] = '\0';
        return FALSE;
    }
    // A relative folder would follow whatever folder the player has made current.
    if (!isAbsolutePath(path) || length + sizeof USER_SETTINGS_TAIL > MAX_PATH)
        return FALSE;
    (void)lstrcatA(path, USER_SETTINGS_TAIL);
    return TRUE;
}

// A header with no key under it counts as absent: only a file holding our values takes over.
static BOOL holdsSettings(const char *path)
{
    char keyNames[16];
    return GetPrivateProfileStringA(SETTINGS_SECTION, NULL, "", keyNames, sizeof keyNames, path) > 0;
}

// One file is read, never a mix: the per-user file once it holds the section, else the one
// beside the module. A key missing from the file read keeps its default.
void loadSettings(void)
{
    char path[MAX_PATH];
    if (!userSettingsFilePath(path) || !holdsSettings(path)) {
        if (!settingsFilePath(path))
            return;
    }
    for (const SettingKey &key : settingKeys)
        *key.field = (LONG)GetPrivateProfileIntA(SETTINGS_SECTION, key.name, *key.field, path);
}

static BOOL writeSettingsTo(const char *path)
{
    BOOL saved = TRUE;
    for (const SettingKey &key : settingKeys) {
        char text[32];
        (void)wsprintfA(text, "%d", (int)*key.field);
        if (!WritePrivateProfileStringA(SETTINGS_SECTION, key.name, text, path))
            saved = FALSE;
    }
    return saved;
}

static BOOL writeUserSettings(const char (&path)[MAX_PATH])
{
    char folder[MAX_PATH];
    (void)lstrcpyA(folder, path);
    // The path ends in "\plugin.ini": the separator takes the place of the terminator.
    folder[lstrlenA(folder) - (sizeof SETTINGS_FILE_NAME)] = '\0';
    // Fails harmlessly when the folder is already there; the write then tells.
    (void)CreateDirectoryA(folder, NULL);
    return writeSettingsTo(path);
}

// The file that is read first is written first, so that the next load sees these values. Should
// a per-user file that holds the section refuse them, they go beside the module all the same:
// the next load then reads the per-user file's older values, still better than none.
BOOL saveSettings(void)
{
    char besideModule[MAX_PATH];
    char perUser[MAX_PATH];
    BOOL haveBesideModule = settingsFilePath(besideModule);
    BOOL havePerUser = userSettingsFilePath(perUser);
    if (havePerUser && holdsSettings(perUser))
        return writeUserSettings(perUser) || (haveBesideModule && writeSettingsTo(besideModule));
    return (haveBesideModule && writeSettingsTo(besideModule)) || (havePerUser && writeUserSettings(perUser));
}
