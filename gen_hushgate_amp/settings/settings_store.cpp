// Keeps the settings in the section "Hushgate" of plugin.ini in the module's folder, or, where
// that folder cannot be written (a player under Program Files run by a standard user), of the
// user's own %APPDATA%\Hushgate\plugin.ini. Only that section is ever touched; nothing is
// written at quit. The wide profile functions keep a file without a byte-order mark as ANSI.
#include "settings/settings.h"

#include "engine/ignored_programs.h"
#include "plugin/plugin.h"

static const WCHAR SETTINGS_SECTION[] = L"Hushgate";
static const WCHAR SETTINGS_FILE_NAME[] = L"plugin.ini";
static const WCHAR USER_SETTINGS_TAIL[] = L"\\Hushgate\\plugin.ini";

struct SettingKey {
    const WCHAR *name;
    volatile LONG *field;
};

// The order in which both load and save handle the keys; a key added later goes last, so
// that files written before it keep their layout. CALLIGNORE, a text, follows them.
static const SettingKey settingKeys[] = {
    {L"ISLOCK", &pluginState.settings.isLock},
    {L"ISSCREENSAVE", &pluginState.settings.isScreenSave},
    {L"ISMUTE", &pluginState.settings.isMute},
    {L"CHECKTIME", &pluginState.settings.checkTime},
    {L"ISDEVICELOST", &pluginState.settings.isDeviceLost},
    {L"ISCALL", &pluginState.settings.isCall},
};

static const WCHAR CALL_IGNORE_KEY[] = L"CALLIGNORE";
// A list written in UTF-8 reads back as one ANSI character a byte.
enum { STORED_LIST_SIZE = 3 * IGNORE_LIST_SIZE };

BOOL settingsFilePath(WCHAR (&path)[MAX_PATH])
{
    path[0] = L'\0';
    DWORD length = GetModuleFileNameW(pluginHeader.hDllInstance, path, MAX_PATH);
    // A full buffer means the name was cut, and older systems then leave it unterminated.
    if (length == 0 || length >= MAX_PATH)
        return FALSE;
    DWORD folderLength = length;
    while (folderLength > 0 && path[folderLength - 1] != L'\\')
        --folderLength;
    if (folderLength + ARRAYSIZE(SETTINGS_FILE_NAME) > MAX_PATH)
        return FALSE;
    path[folderLength] = L'\0';
    (void)lstrcatW(path, SETTINGS_FILE_NAME);
    return TRUE;
}

static BOOL isAbsolutePath(const WCHAR *path)
{
    return (path[0] == L'\\' && path[1] == L'\\') || (path[0] != L'\0' && path[1] == L':' && path[2] == L'\\');
}

BOOL userSettingsFilePath(WCHAR (&path)[MAX_PATH])
{
    DWORD length = GetEnvironmentVariableW(L"APPDATA", path, MAX_PATH);
    // A value too long for the buffer gives the size it needs and leaves the buffer undefined.
    if (length == 0 || length >= MAX_PATH) {
        path[0] = L'\0';
        return FALSE;
    }
    // A relative folder would follow whatever folder the player has made current.
    if (!isAbsolutePath(path) || length + ARRAYSIZE(USER_SETTINGS_TAIL) > MAX_PATH)
        return FALSE;
    (void)lstrcatW(path, USER_SETTINGS_TAIL);
    return TRUE;
}

// A header with no key under it counts as absent: only a file holding our values takes over.
static BOOL holdsSettings(const WCHAR *path)
{
    WCHAR keyNames[16];
    return GetPrivateProfileStringW(SETTINGS_SECTION, NULL, L"", keyNames, ARRAYSIZE(keyNames), path) > 0;
}

// Whether the next start may read the per-user file rather than the one beside the module:
// it holds the section, or it is there but cannot be read now (locked by another program, on
// a redirected profile that is offline) and may hold it once it can. Only a file read without
// the section, or one that is not there at all, leaves the next start to the other file.
static BOOL userFileMayComeFirst(const WCHAR *path)
{
    // Our own handle, shared for everything, keeps a lock that would deny reading from
    // arriving between the look at the file and the read of its keys.
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                              OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        return error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND && error != ERROR_INVALID_NAME;
    }
    BOOL holds = holdsSettings(path);
    (void)CloseHandle(file);
    return holds;
}

static BOOL hasHighBytes(const char *bytes)
{
    for (; *bytes != '\0'; ++bytes) {
        if ((unsigned char)*bytes >= 0x80)
            return TRUE;
    }
    return FALSE;
}

// The file stays ANSI. A list whose names all fit the code page is kept as such; one with a
// name outside it is kept in UTF-8, which is told apart on reading by being valid UTF-8 with
// bytes above 127. Anything else reads as the code page gives it.
static void readListText(const WCHAR *stored, WCHAR (&list)[STORED_LIST_SIZE])
{
    char bytes[STORED_LIST_SIZE];
    (void)lstrcpynW(list, stored, STORED_LIST_SIZE);
    if (WideCharToMultiByte(CP_ACP, 0, stored, -1, bytes, sizeof bytes, NULL, NULL) == 0 || !hasHighBytes(bytes))
        return;
    WCHAR decoded[STORED_LIST_SIZE];
    if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes, -1, decoded, STORED_LIST_SIZE) > 0)
        (void)lstrcpynW(list, decoded, STORED_LIST_SIZE);
}

static void writeListText(const WCHAR *list, WCHAR (&stored)[STORED_LIST_SIZE])
{
    char bytes[STORED_LIST_SIZE];
    BOOL lost = FALSE;
    (void)lstrcpynW(stored, list, STORED_LIST_SIZE);
    if (WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, list, -1, bytes, sizeof bytes, NULL, &lost) > 0 && !lost)
        return;
    if (WideCharToMultiByte(CP_UTF8, 0, list, -1, bytes, sizeof bytes, NULL, NULL) > 0)
        (void)MultiByteToWideChar(CP_ACP, 0, bytes, -1, stored, STORED_LIST_SIZE);
}

// A value that fills the buffer was cut: its last name is not taken.
static void loadIgnoredPrograms(const WCHAR *path)
{
    WCHAR stored[STORED_LIST_SIZE];
    WCHAR current[IGNORE_LIST_SIZE];
    copyIgnoredPrograms(current);
    DWORD length = GetPrivateProfileStringW(SETTINGS_SECTION, CALL_IGNORE_KEY, current, stored, STORED_LIST_SIZE, path);
    WCHAR list[STORED_LIST_SIZE];
    readListText(stored, list);
    BOOL cut = length >= STORED_LIST_SIZE - 1 || lstrlenW(list) >= IGNORE_LIST_SIZE - 1;
    setIgnoredPrograms(list, cut);
}

// One file is read, never a mix: the per-user file once it holds the section, else the one
// beside the module. A key missing from the file read keeps its default.
void loadSettings(void)
{
    WCHAR path[MAX_PATH];
    if (!userSettingsFilePath(path) || !holdsSettings(path)) {
        if (!settingsFilePath(path))
            return;
    }
    for (const SettingKey &key : settingKeys)
        *key.field = (LONG)GetPrivateProfileIntW(SETTINGS_SECTION, key.name, *key.field, path);
    loadIgnoredPrograms(path);
}

static BOOL writeSettingsTo(const WCHAR *path)
{
    BOOL saved = TRUE;
    for (const SettingKey &key : settingKeys) {
        WCHAR text[32];
        (void)wsprintfW(text, L"%d", (int)*key.field);
        if (!WritePrivateProfileStringW(SETTINGS_SECTION, key.name, text, path))
            saved = FALSE;
    }
    WCHAR list[IGNORE_LIST_SIZE];
    copyIgnoredPrograms(list);
    WCHAR stored[STORED_LIST_SIZE];
    writeListText(list, stored);
    if (!WritePrivateProfileStringW(SETTINGS_SECTION, CALL_IGNORE_KEY, stored, path))
        saved = FALSE;
    return saved;
}

static BOOL writeUserSettings(const WCHAR (&path)[MAX_PATH])
{
    WCHAR folder[MAX_PATH];
    (void)lstrcpyW(folder, path);
    // The path ends in "\plugin.ini": the separator takes the place of the terminator.
    folder[lstrlenW(folder) - ARRAYSIZE(SETTINGS_FILE_NAME)] = L'\0';
    // Fails harmlessly when the folder is already there; the write then tells.
    (void)CreateDirectoryW(folder, NULL);
    return writeSettingsTo(path);
}

// The values go where the next start will look for them, and a save is reported done only
// then. Once the per-user file may be read first, it alone can keep them: a copy beside the
// module would never be read while that file holds the older values.
SaveOutcome saveSettings(void)
{
    WCHAR besideModule[MAX_PATH];
    WCHAR perUser[MAX_PATH];
    BOOL haveBesideModule = settingsFilePath(besideModule);
    BOOL havePerUser = userSettingsFilePath(perUser);
    if (havePerUser && userFileMayComeFirst(perUser))
        return writeUserSettings(perUser) ? SAVE_DONE : SAVE_REFUSED_BY_USER_FILE;
    if ((haveBesideModule && writeSettingsTo(besideModule)) || (havePerUser && writeUserSettings(perUser)))
        return SAVE_DONE;
    return SAVE_REFUSED_BY_BOTH_FILES;
}
