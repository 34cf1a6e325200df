// Keeps the settings in the section "Hushgate" of plugin.ini in the module's folder, or, where
// that folder cannot be written (a player under Program Files run by a standard user), of the
// user's own %APPDATA%\Hushgate\plugin.ini. Only that section is ever touched; nothing is
// written at quit. The wide profile functions keep a file without a byte-order mark as ANSI.
#include "settings/settings.h"

#include "engine/ignored_programs.h"
#include "engine/settings_in_force.h"
#include "plugin/plugin.h"

static const WCHAR SETTINGS_SECTION[] = L"Hushgate";
static const WCHAR SETTINGS_FILE_NAME[] = L"plugin.ini";
static const WCHAR USER_SETTINGS_TAIL[] = L"\\Hushgate\\plugin.ini";

struct SettingKey {
    const WCHAR *name;
    volatile LONG Settings::*field;
};

// The order in which both load and save handle the keys; a key added later goes last, so
// that files written before it keep their layout. CALLIGNORE, a text, follows them.
static const SettingKey settingKeys[] = {
    {L"ISLOCK", &Settings::isLock},
    {L"ISSCREENSAVE", &Settings::isScreenSave},
    {L"ISMUTE", &Settings::isMute},
    {L"CHECKTIME", &Settings::checkTime},
    {L"ISDEVICELOST", &Settings::isDeviceLost},
    {L"ISCALL", &Settings::isCall},
};

static const WCHAR CALL_IGNORE_KEY[] = L"CALLIGNORE";
// Room for the longest list the dialog takes with every letter escaped, six characters each.
enum { STORED_LIST_SIZE = 6 * IGNORE_LIST_SIZE + 1 };

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

// A value written in UTF-8 by hand (Notepad's own choice today) reads back as one ANSI
// character a byte: valid UTF-8 with bytes above 127 is taken as such. A cut value is first
// taken back to its last whole name, so that a sequence the cut split spoils nothing before it.
static void decodeUtf8(WCHAR (&text)[STORED_LIST_SIZE], BOOL cut)
{
    char bytes[STORED_LIST_SIZE];
    if (WideCharToMultiByte(CP_ACP, 0, text, -1, bytes, sizeof bytes, NULL, NULL) == 0 || !hasHighBytes(bytes))
        return;
    int end = lstrlenA(bytes);
    while (cut && end > 0 && bytes[end - 1] != ';')
        --end;
    bytes[end] = '\0';
    WCHAR decoded[STORED_LIST_SIZE];
    if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes, -1, decoded, STORED_LIST_SIZE) > 0)
        (void)lstrcpyW(text, decoded);
}

static int hexDigit(WCHAR c)
{
    if (c >= L'0' && c <= L'9')
        return c - L'0';
    if (c >= L'a' && c <= L'f')
        return c - L'a' + 10;
    if (c >= L'A' && c <= L'F')
        return c - L'A' + 10;
    return -1;
}

// The value's escapes: "\\" is one backslash, and "\u" with four hex digits the UTF-16 code
// unit they give; a "\u0000" written by hand is left out rather than ending the list there.
// Any other backslash stays as it is, as a path written by hand before has it.
static int escapeLength(const WCHAR *at, WCHAR &unit)
{
    if (at[0] != L'\\')
        return 0;
    if (at[1] == L'\\') {
        unit = L'\\';
        return 2;
    }
    if (at[1] != L'u')
        return 0;
    int value = 0;
    for (int digit = 2; digit < 6; ++digit) {
        if (hexDigit(at[digit]) < 0)
            return 0;
        value = value * 16 + hexDigit(at[digit]);
    }
    unit = (WCHAR)value;
    return 6;
}

static void unescape(WCHAR (&text)[STORED_LIST_SIZE])
{
    int to = 0;
    for (int from = 0; text[from] != L'\0';) {
        WCHAR unit = L'\0';
        int length = escapeLength(text + from, unit);
        if (length == 0) {
            text[to++] = text[from++];
            continue;
        }
        from += length;
        if (unit != L'\0')
            text[to++] = unit;
    }
    text[to] = L'\0';
}

// The profile reader strips blanks and a pair of quotes around a value: at either end they
// are escaped too.
static BOOL strippedAtAnEnd(WCHAR c)
{
    return c == L' ' || c == L'"' || c == L'\'';
}

// The file holds printable ASCII alone, on every code page, so that the list reads back
// exactly as it was typed and never needs the UTF-8 guess: a backslash is written "\\", any
// other character outside printable ASCII, and a blank or quote at either end, as "\u" and
// the four hex digits of its UTF-16 code unit.
static void escapeForFile(const WCHAR *list, WCHAR (&stored)[STORED_LIST_SIZE])
{
    int length = lstrlenW(list);
    int at = 0;
    for (int i = 0; i < length; ++i) {
        WCHAR c = list[i];
        BOOL atAnEnd = i == 0 || i == length - 1;
        if (c == L'\\') {
            stored[at++] = L'\\';
            stored[at++] = L'\\';
        } else if (c < L' ' || c > L'~' || (atAnEnd && strippedAtAnEnd(c))) {
            at += wsprintfW(stored + at, L"\\u%04x", (unsigned)c);
        } else {
            stored[at++] = c;
        }
    }
    stored[at] = L'\0';
}

// A value that fills the buffer was cut: its last name is not taken. TRUE: the text is cut.
static BOOL readIgnoredPrograms(const WCHAR *path, WCHAR (&text)[STORED_LIST_SIZE])
{
    WCHAR current[IGNORE_LIST_SIZE];
    copyIgnoredPrograms(current);
    DWORD length = GetPrivateProfileStringW(SETTINGS_SECTION, CALL_IGNORE_KEY, current, text, STORED_LIST_SIZE, path);
    BOOL cut = length >= STORED_LIST_SIZE - 1;
    decodeUtf8(text, cut);
    unescape(text);
    return cut || lstrlenW(text) >= IGNORE_LIST_SIZE - 1;
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
    Settings loaded = settingsInForce();
    for (const SettingKey &key : settingKeys)
        loaded.*key.field = (LONG)GetPrivateProfileIntW(SETTINGS_SECTION, key.name, loaded.*key.field, path);
    WCHAR list[STORED_LIST_SIZE];
    BOOL cut = readIgnoredPrograms(path, list);
    publishSettings(loaded, list, cut);
}

static BOOL writeSettingsTo(const WCHAR *path)
{
    BOOL saved = TRUE;
    Settings current = settingsInForce();
    for (const SettingKey &key : settingKeys) {
        WCHAR text[32];
        (void)wsprintfW(text, L"%d", (int)(current.*key.field));
        if (!WritePrivateProfileStringW(SETTINGS_SECTION, key.name, text, path))
            saved = FALSE;
    }
    WCHAR list[IGNORE_LIST_SIZE];
    copyIgnoredPrograms(list);
    WCHAR stored[STORED_LIST_SIZE];
    escapeForFile(list, stored);
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
