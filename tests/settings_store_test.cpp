// plugin.ini beside the module and the per-user one, through the real profile functions: what
// load takes, what save writes and where, and that nothing outside the "Hushgate" section changes.
#include "engine/ignored_programs.h"
#include "plugin_loader.h"
#include "settings/settings.h"
#include "test_support.h"

class SettingsStore : public PluginTest {
protected:
    void loadFrom(const char *contents)
    {
        if (contents != NULL)
            writeTestSettings(contents);
        setSettings(1, 1, 1, 500);
        pluginState.settings.isDeviceLost = 1;
        pluginState.settings.isCall = 1;
        loadSettings();
    }
};

struct LoadRow {
    int row;
    const char *contents;  // NULL: no file at all
    LONG isLock, isScreenSave, isMute, checkTime, isDeviceLost, isCall;
};

TEST_F(SettingsStore, LoadTakesWhatTheFileHoldsAndDefaultsTheRest)
{
    static const LoadRow rows[] = {
        {1, NULL, 1, 1, 1, 500, 1, 1},
        {2, "[Other]\r\nISLOCK=0\r\nCHECKTIME=900\r\n", 1, 1, 1, 500, 1, 1},
        {3, "[Hushgate]\r\nISLOCK=0\r\n", 0, 1, 1, 500, 1, 1},
        {4, "[Hushgate]\r\nISMUTE=7\r\n", 1, 1, 7, 500, 1, 1},
        {5, "[Hushgate]\r\nCHECKTIME=50\r\n", 1, 1, 1, 50, 1, 1},
        {6, "[A]\r\nISLOCK=0\r\n[Hushgate]\r\nISSCREENSAVE=0\r\nCHECKTIME=2500\r\n[B]\r\nISMUTE=0\r\n", 1, 0, 1, 2500, 1, 1},
        {7, "[Hushgate]\r\nISLOCK=0\r\nISSCREENSAVE=0\r\nISMUTE=0\r\nCHECKTIME=10000\r\n", 0, 0, 0, 10000, 1, 1},
        {8, "[Hushgate]\r\nISLOCK=-1\r\nCHECKTIME=-1\r\n", -1, 1, 1, -1, 1, 1},
        {9, "[Hushgate]\r\nCHECKTIME=2147483647\r\n", 1, 1, 1, 2147483647, 1, 1},
        {10, "[Hushgate]\r\nCHECKTIME=  300\r\n", 1, 1, 1, 300, 1, 1},
        {11, "[Hushgate]\r\nCHECKTIME=0\r\n", 1, 1, 1, 0, 1, 1},
        {12, "[Hushgate]\r\nISLOCK=0\r\nISSCREENSAVE=0\r\nISMUTE=0\r\nCHECKTIME=700\r\nISDEVICELOST=0\r\nISCALL=0\r\nCALLIGNORE=\r\n", 0, 0, 0, 700, 0, 0},
    };
    for (const LoadRow &row : rows) {
        removeTestSettings();
        loadFrom(row.contents);
        EXPECT_EQ(pluginState.settings.isLock, row.isLock) << "row " << row.row;
        EXPECT_EQ(pluginState.settings.isScreenSave, row.isScreenSave) << "row " << row.row;
        EXPECT_EQ(pluginState.settings.isMute, row.isMute) << "row " << row.row;
        EXPECT_EQ(pluginState.settings.checkTime, row.checkTime) << "row " << row.row;
        EXPECT_EQ(pluginState.settings.isDeviceLost, row.isDeviceLost) << "row " << row.row;
        EXPECT_EQ(pluginState.settings.isCall, row.isCall) << "row " << row.row;
    }
}

// Text where a number belongs reads as the profile functions read it: no digits give 0, an
// empty value keeps the default. A byte-order mark loses nothing; keys under a broken section
// header are not the plug-in's.
TEST_F(SettingsStore, OddValuesLoadAsTheProfileFunctionsReadThem)
{
    static const LoadRow rows[] = {
        {1, "[Hushgate]\r\nCHECKTIME=fast\r\nISLOCK=\r\n", 1, 1, 1, 0, 1, 1},
        {2, "[Hushgate]\r\nCHECKTIME=  -250ms\r\nISMUTE=0\r\n", 1, 1, 0, -250, 1, 1},
        {3, "[Hushgate\r\nCHECKTIME=300\r\n", 1, 1, 1, 500, 1, 1},
        {4, "\xEF\xBB\xBF[Hushgate]\r\nISMUTE=0\r\n", 1, 1, 0, 500, 1, 1},
    };
    for (const LoadRow &row : rows) {
        loadFrom(row.contents);
        EXPECT_EQ(pluginState.settings.isLock, row.isLock) << "row " << row.row;
        EXPECT_EQ(pluginState.settings.isScreenSave, row.isScreenSave) << "row " << row.row;
        EXPECT_EQ(pluginState.settings.isMute, row.isMute) << "row " << row.row;
        EXPECT_EQ(pluginState.settings.checkTime, row.checkTime) << "row " << row.row;
        EXPECT_EQ(pluginState.settings.isDeviceLost, row.isDeviceLost) << "row " << row.row;
        EXPECT_EQ(pluginState.settings.isCall, row.isCall) << "row " << row.row;
    }
}

TEST_F(SettingsStore, SaveWritesEveryKeyInOrderIntoANewFile)
{
    setSettings(0, 1, 7, 2500);
    pluginState.settings.isDeviceLost = 0;
    pluginState.settings.isCall = 0;
    EXPECT_EQ(saveSettings(), SAVE_DONE);
    char text[512];
    readTestSettings(text, sizeof text);
    EXPECT_STREQ(text, "[Hushgate]\r\nISLOCK=0\r\nISSCREENSAVE=1\r\nISMUTE=7\r\nCHECKTIME=2500\r\nISDEVICELOST=0\r\nISCALL=0\r\nCALLIGNORE=\r\n");
}

TEST_F(SettingsStore, SaveRewritesItsKeysInPlaceAndLeavesOtherSectionsAlone)
{
    writeTestSettings("[Before]\r\nISLOCK=5\r\nkeep=me\r\n"
                      "[Hushgate]\r\nCHECKTIME=900\r\nEXTRA=x\r\nISLOCK=1\r\n"
                      "[After]\r\nCHECKTIME=1\r\n");
    setSettings(0, 0, 1, 300);
    EXPECT_EQ(saveSettings(), SAVE_DONE);
    char text[1024];
    readTestSettings(text, sizeof text);
    EXPECT_STREQ(text, "[Before]\r\nISLOCK=5\r\nkeep=me\r\n"
                       "[Hushgate]\r\nCHECKTIME=300\r\nEXTRA=x\r\nISLOCK=0\r\nISSCREENSAVE=0\r\nISMUTE=1\r\nISDEVICELOST=1\r\nISCALL=0\r\nCALLIGNORE=\r\n"
                       "[After]\r\nCHECKTIME=1\r\n");
}

struct IgnoreRow {
    int row;
    std::string value;  // the bytes after CALLIGNORE=
    const WCHAR *program;
    BOOL ignored;
};

static std::string padTo(size_t length, const char *tail)
{
    std::string value = "a.exe;";
    value.append(length - value.size() - strlen(tail), 'x');
    return value + tail;
}

// Whatever the value holds, it gives a defined list, and the keys around it load as written.
// A name is whole or not at all: the one the buffer cuts (at 1023 characters) matches nothing.
TEST_F(SettingsStore, TheProgramsNeverACallAreWholeNamesWhateverTheValueHolds)
{
    std::string many;
    for (int i = 1; i <= 40; ++i)
        many += "program" + std::to_string(i) + ".exe;";
    static const WCHAR cyrillic[] = L"\x043f\x0443\x043b\x044c\x0442.EXE";  // "пульт.EXE"
    const IgnoreRow rows[] = {
        {1, "obs64.exe; voicemeeter.exe", L"voicemeeter.exe", TRUE},
        {2, "obs64.exe; voicemeeter.exe", L"OBS64.EXE", TRUE},
        {3, ";; ;  obs64.exe\t; ;", L"obs64.exe", TRUE},
        {4, "\"C:\\Program Files\\obs-studio\\bin\\64bit\\obs64.exe\"", L"obs64.exe", TRUE},
        {5, "a.exe; \"obs64.exe\" ;b.exe", L"obs64.exe", TRUE},
        {6, "obs*.exe; obs?.exe", L"obs64.exe", FALSE},
        {7, "obs64", L"obs64.exe", TRUE},  // no dot: the program as a user names it
        {18, "obs", L"obs64.exe", FALSE},
        {19, "obs64.com", L"obs64.exe", FALSE},
        {8, "obs64.exe", L"bs64.exe", FALSE},
        {9, "C:\\tools\\", L"tools", FALSE},
        {10, "\xd0\x9f\xd1\x83\xd0\xbb\xd1\x8c\xd1\x82.exe", cyrillic, TRUE},  // UTF-8
        {11, many, L"program40.exe", TRUE},
        {12, std::string(300, 'n') + ".exe;obs64.exe", L"obs64.exe", TRUE},
        {13, padTo(1022, ";obs64.exe"), L"obs64.exe", TRUE},
        {14, padTo(1023, ";obs64.exe") + "_old.exe", L"obs64.exe", FALSE},
        {15, padTo(1023, ";obs64.exe") + "_old.exe", L"a.exe", TRUE},
        {16, padTo(4000, ";obs64.exe"), L"obs64.exe", FALSE},
        {17, "", L"obs64.exe", FALSE},
        {20, "\xe3\x80\x80obs64.exe\xe3\x80\x80\xef\xbc\x9bvoicemeeter.exe", L"voicemeeter.exe", TRUE},  // U+3000, U+FF1B
        {21, "\\u043f\\u0443\\u043b\\u044c\\u0442.exe", cyrillic, TRUE},
        {22, "\\u043fx.exe;\\u04zz.exe", L"u04zz.exe", TRUE},  // not four hex digits: plain text, a path's
        {23, "\xd0\x9f\xd1\x83\xd0\xbb\xd1\x8c\xd1\x82.exe;" + std::string(7000, 'x') + "\xd0\x9f.exe", cyrillic, TRUE},
        {24, "\\u0000;obs64.exe", L"obs64.exe", TRUE},  // left out, not the end of the list
        {25, "C:\\\\Tools\\\\ucafe.exe", L"ucafe.exe", TRUE},  // as the dialog writes a path
        {26, "C:\\Tools\\x.exe", L"x.exe", TRUE},  // single ones, as a hand writes them
    };
    for (const IgnoreRow &row : rows) {
        std::string contents = "[Hushgate]\r\nISLOCK=0\r\nCALLIGNORE=" + row.value + "\r\nISCALL=0\r\nCHECKTIME=700\r\n";
        removeTestSettings();
        loadFrom(contents.c_str());
        EXPECT_EQ(isIgnoredProgramName(row.program), row.ignored) << "row " << row.row;
        EXPECT_EQ(pluginState.settings.isLock + pluginState.settings.isCall, 0) << "row " << row.row;
        EXPECT_EQ(pluginState.settings.checkTime, 700) << "row " << row.row;
    }
}

// The file stays printable ASCII on every code page: a backslash doubled, a letter outside
// ASCII, a control character and a blank or quote the reader would strip as \u and four hex
// digits. Whatever the list holds, it reads back exactly.
TEST_F(SettingsStore, TheProgramsNeverACallGoIntoTheAnsiFileAndComeBack)
{
    static const WCHAR outside[] = L"obs64.exe; \x041f\x0443\x043b\x044c\x0442.exe";
    static const char outsideBytes[] = "CALLIGNORE=obs64.exe; \\u041f\\u0443\\u043b\\u044c\\u0442.exe\r\n";
    struct {
        const WCHAR *list;
        const char *line;
    } rows[] = {
        {L"obs64.exe; voicemeeter.exe", "CALLIGNORE=obs64.exe; voicemeeter.exe\r\n"},
        {outside, outsideBytes},
        {L"C:\\Tools\\ucafe.exe", "CALLIGNORE=C:\\\\Tools\\\\ucafe.exe\r\n"},
        {L"caf\x00e9.exe;\xff71.exe", "CALLIGNORE=caf\\u00e9.exe;\\uff71.exe\r\n"},  // within the code page too
        {L" \"a.exe\";b\tc.exe ", "CALLIGNORE=\\u0020\"a.exe\";b\\u0009c.exe\\u0020\r\n"},
        {L"'a.exe'", "CALLIGNORE=\\u0027a.exe\\u0027\r\n"},
    };
    for (const auto &row : rows) {
        removeTestSettings();
        setIgnoredPrograms(row.list, FALSE);
        EXPECT_EQ(saveSettings(), SAVE_DONE);
        char text[512];
        readTestSettings(text, sizeof text);
        EXPECT_NE(strstr(text, row.line), nullptr) << text;
        setIgnoredPrograms(L"", FALSE);
        loadFrom(NULL);
        WCHAR list[IGNORE_LIST_SIZE];
        copyIgnoredPrograms(list);
        EXPECT_STREQ(list, row.list);
    }
}

// Another program's hold on a file while the plug-in saves.
enum Hold { FREE, DENY_WRITE, DENY_ALL };

static HANDLE holdFile(const WCHAR *path, Hold hold)
{
    if (hold == FREE)
        return INVALID_HANDLE_VALUE;
    // Read-only attributes do not stop root under Wine; a handle that denies writing does.
    // Denying reading too stands for a file locked against everyone or a profile offline.
    return CreateFileW(path, GENERIC_READ, hold == DENY_WRITE ? FILE_SHARE_READ : 0, NULL, OPEN_EXISTING, 0, NULL);
}

static void release(HANDLE held)
{
    if (held != INVALID_HANDLE_VALUE)
        CloseHandle(held);
}

struct SaveRow {
    int row;
    const char *besideModule, *perUser;  // NULL: no such file
    Hold besideModuleHold, perUserHold;
    SaveOutcome outcome;
    LONG besideModuleAfter, perUserAfter;  // CHECKTIME in the file afterwards; -1: none
    LONG reloaded;  // what the next start reads, once the holds are gone
};

static const char HOLDS_900[] = "[Hushgate]\r\nCHECKTIME=900\r\n";
static const char HOLDS_700[] = "[Hushgate]\r\nCHECKTIME=700\r\n";
static const char OTHERS_ONLY[] = "[Other]\r\nCHECKTIME=1\r\n";

// The save goes where the next start looks, and is reported done only then: each row saves
// 300 and then loads as the next start would.
TEST_F(SettingsStore, ASaveIsReportedDoneOnlyWhereTheNextStartReadsIt)
{
    static const SaveRow rows[] = {
        {1, HOLDS_900, NULL, FREE, FREE, SAVE_DONE, 300, -1, 300},
        {2, HOLDS_900, NULL, DENY_WRITE, FREE, SAVE_DONE, 900, 300, 300},  // the per-user file takes over
        {3, HOLDS_900, OTHERS_ONLY, DENY_WRITE, DENY_WRITE, SAVE_REFUSED_BY_BOTH_FILES, 900, -1, 900},
        {4, HOLDS_900, OTHERS_ONLY, FREE, FREE, SAVE_DONE, 300, -1, 300},   // no section: not read first
        {5, HOLDS_900, HOLDS_700, FREE, FREE, SAVE_DONE, 900, 300, 300},    // read first, written alone
        {6, HOLDS_900, HOLDS_700, FREE, DENY_WRITE, SAVE_REFUSED_BY_USER_FILE, 900, 700, 700},
        {7, HOLDS_900, HOLDS_700, FREE, DENY_ALL, SAVE_REFUSED_BY_USER_FILE, 900, 700, 700},
        {8, HOLDS_900, OTHERS_ONLY, FREE, DENY_ALL, SAVE_REFUSED_BY_USER_FILE, 900, -1, 900},  // may hold it
        {9, NULL, HOLDS_700, FREE, DENY_WRITE, SAVE_REFUSED_BY_USER_FILE, -1, 700, 700},
    };
    std::wstring besideModule = widePath(testSettingsPath());
    std::wstring perUser = widePath(testUserSettingsPath());
    for (const SaveRow &row : rows) {
        removeTestSettings();
        if (row.besideModule != NULL)
            writeTestSettings(row.besideModule, besideModule.c_str());
        if (row.perUser != NULL)
            writeTestSettings(row.perUser, perUser.c_str());
        HANDLE besideModuleHeld = holdFile(besideModule.c_str(), row.besideModuleHold);
        HANDLE perUserHeld = holdFile(perUser.c_str(), row.perUserHold);
        setSettings(0, 0, 0, 300);
        EXPECT_EQ(saveSettings(), row.outcome) << "row " << row.row;
        release(besideModuleHeld);
        release(perUserHeld);
        EXPECT_EQ((LONG)GetPrivateProfileIntW(L"Hushgate", L"CHECKTIME", -1, besideModule.c_str()),
                  row.besideModuleAfter) << "row " << row.row;
        EXPECT_EQ((LONG)GetPrivateProfileIntW(L"Hushgate", L"CHECKTIME", -1, perUser.c_str()), row.perUserAfter)
            << "row " << row.row;
        loadFrom(NULL);
        EXPECT_EQ(pluginState.settings.checkTime, row.reloaded) << "row " << row.row;
    }
}

// A copy of the built module in the folder, mapped without running it: the settings then
// belong to a module that lives there.
static HMODULE loadModuleCopy(const std::wstring &folder)
{
    char source[MAX_PATH];
    if (!pathBesideProgram(source, "..\\gen_hushgate_amp.dll") ||
        !CopyFileW(widePath(source).c_str(), (folder + L"\\g.dll").c_str(), FALSE))
        return NULL;
    return LoadLibraryExW((folder + L"\\g.dll").c_str(), NULL, DONT_RESOLVE_DLL_REFERENCES);
}

static void unloadModuleCopy(HMODULE copy, const std::wstring &folder)
{
    FreeLibrary(copy);
    (void)DeleteFileW((folder + L"\\g.dll").c_str());
}

struct UnicodeRow {
    int row;
    BOOL unicodeModuleFolder, unicodeAppData;
    const char *besideModule, *perUser;  // before the save; NULL: no such file
    Hold besideModuleHold;
    BOOL savedPerUser;  // else beside the module
    const char *saved;  // that file afterwards, byte for byte
};

// A player folder or a profile named outside the ANSI code page is reached, and what is
// written there stays ANSI text: no byte-order mark, no UTF-16, a byte above 127 kept as it was.
TEST_F(SettingsStore, FoldersNamedOutsideTheAnsiCodePageKeepTheSettingsInAnsiFiles)
{
    std::wstring playerFolder = makeUnicodeFolder(L"player");
    std::wstring appData = makeUnicodeFolder(L"appdata");
    BOOL outsideCodePage = FALSE;
    (void)WideCharToMultiByte(CP_ACP, 0, appData.c_str(), -1, NULL, 0, NULL, &outsideCodePage);
    ASSERT_TRUE(outsideCodePage) << "code page " << GetACP() << " holds the names: nothing to prove";
    HMODULE copy = loadModuleCopy(playerFolder);
    ASSERT_NE(copy, (HMODULE)NULL);

    static const char savedKeys[] =
        "[Hushgate]\r\nISLOCK=0\r\nISSCREENSAVE=1\r\nISMUTE=0\r\nCHECKTIME=2500\r\nISDEVICELOST=0\r\nISCALL=0\r\nCALLIGNORE=\r\n";
    static const UnicodeRow rows[] = {
        {1, TRUE, FALSE, "[Other]\r\nNAME=caf\xe9\r\n", NULL, FREE, FALSE,
         "[Other]\r\nNAME=caf\xe9\r\n"
         "[Hushgate]\r\nISLOCK=0\r\nISSCREENSAVE=1\r\nISMUTE=0\r\nCHECKTIME=2500\r\nISDEVICELOST=0\r\nISCALL=0\r\nCALLIGNORE=\r\n"},
        {2, TRUE, TRUE, NULL, NULL, FREE, FALSE, savedKeys},
        {3, FALSE, TRUE, NULL, "[Hushgate]\r\nCHECKTIME=900\r\n[Other]\r\nNAME=caf\xe9\r\n", FREE, TRUE,
         "[Hushgate]\r\nCHECKTIME=2500\r\nISLOCK=0\r\nISSCREENSAVE=1\r\nISMUTE=0\r\nISDEVICELOST=0\r\nISCALL=0\r\nCALLIGNORE=\r\n"
         "[Other]\r\nNAME=caf\xe9\r\n"},
        {4, TRUE, TRUE, "[Hushgate]\r\nCHECKTIME=900\r\n", NULL, DENY_WRITE, TRUE, savedKeys},  // folder made too
    };
    for (const UnicodeRow &row : rows) {
        removeSettingsUnder(playerFolder);
        removeSettingsUnder(appData);
        removeTestSettings();
        pluginHeader.hDllInstance = row.unicodeModuleFolder ? copy : GetModuleHandleA(NULL);
        std::wstring besideModule =
            row.unicodeModuleFolder ? playerFolder + L"\\plugin.ini" : widePath(testSettingsPath());
        std::wstring userFolder = row.unicodeAppData ? appData : widePath(testAppDataFolder());
        std::wstring perUser = userFolder + L"\\Hushgate\\plugin.ini";
        (void)SetEnvironmentVariableW(L"APPDATA", userFolder.c_str());
        if (row.besideModule != NULL)
            writeTestSettings(row.besideModule, besideModule.c_str());
        if (row.perUser != NULL)
            writeTestSettings(row.perUser, perUser.c_str());
        HANDLE held = holdFile(besideModule.c_str(), row.besideModuleHold);
        setSettings(0, 1, 0, 2500);
        pluginState.settings.isDeviceLost = 0;
        EXPECT_EQ(saveSettings(), SAVE_DONE) << "row " << row.row;
        release(held);
        char text[512];
        readTestSettings(text, sizeof text, (row.savedPerUser ? perUser : besideModule).c_str());
        EXPECT_STREQ(text, row.saved) << "row " << row.row;
        loadFrom(NULL);
        EXPECT_EQ(pluginState.settings.isLock, 0) << "row " << row.row;
        EXPECT_EQ(pluginState.settings.isMute, 0) << "row " << row.row;
        EXPECT_EQ(pluginState.settings.checkTime, 2500) << "row " << row.row;
        EXPECT_EQ(pluginState.settings.isDeviceLost, 0) << "row " << row.row;
    }
    unloadModuleCopy(copy, playerFolder);
    removeSettingsUnder(playerFolder);
    removeSettingsUnder(appData);
    (void)RemoveDirectoryW(playerFolder.c_str());
    (void)RemoveDirectoryW(appData.c_str());
}

struct AppDataRow {
    int row;
    const char *appData;  // NULL: unset
    SaveOutcome outcome;
};

// A copy of a module at the end of a folder path so long that "plugin.ini" no longer fits:
// nothing beside it is read or written, and only a usable APPDATA keeps the settings.
TEST_F(SettingsStore, AModulePathWithNoRoomForTheFileNameLeavesOnlyThePerUserFile)
{
    char folder[MAX_PATH];
    DWORD length = GetTempPathA(MAX_PATH, folder);
    ASSERT_GT(length, 0u);
    lstrcatA(folder, "hushgate-long");
    (void)CreateDirectoryA(folder, NULL);
    // 250 characters of folder: the module's own path fits, the folder plus "\plugin.ini" does not.
    while (lstrlenA(folder) < 249) {
        int room = 249 - lstrlenA(folder) - 1;
        lstrcatA(folder, "\\");
        for (int i = 0; i < room && i < 60; ++i)
            lstrcatA(folder, "a");
        (void)CreateDirectoryA(folder, NULL);
    }
    ASSERT_EQ(lstrlenA(folder), 249);
    HMODULE copy = loadModuleCopy(widePath(folder));
    ASSERT_NE(copy, (HMODULE)NULL) << folder;
    char expectedFile[MAX_PATH + 16];
    wsprintfA(expectedFile, "%s\\plugin.ini", folder);
    pluginHeader.hDllInstance = copy;

    WCHAR path[MAX_PATH];
    EXPECT_FALSE(settingsFilePath(path));
    writeTestSettings("[Hushgate]\r\nCHECKTIME=900\r\n");
    setSettings(1, 1, 1, 500);
    loadSettings();
    EXPECT_EQ(pluginState.settings.checkTime, 500);
    const AppDataRow rows[] = {
        {1, testAppDataFolder(), SAVE_DONE},
        {2, folder, SAVE_REFUSED_BY_BOTH_FILES},     // 249 characters: no room for "\Hushgate\plugin.ini"
        {3, "appdata", SAVE_REFUSED_BY_BOTH_FILES},  // relative, though the current folder holds the scratch one
        {4, NULL, SAVE_REFUSED_BY_BOTH_FILES},
    };
    for (const AppDataRow &row : rows) {
        (void)SetEnvironmentVariableA("APPDATA", row.appData);
        EXPECT_EQ(saveSettings(), row.outcome) << "row " << row.row;
    }
    EXPECT_EQ(GetFileAttributesA(expectedFile), INVALID_FILE_ATTRIBUTES);

    unloadModuleCopy(copy, widePath(folder));
}
