// plugin.ini beside the module and the per-user one, through the real profile functions: what
// load takes, what save writes and where, and that nothing outside the "Hushgate" section changes.
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
        loadSettings();
    }
};

struct LoadRow {
    int row;
    const char *contents;  // NULL: no file at all
    LONG isLock, isScreenSave, isMute, checkTime, isDeviceLost;
};

TEST_F(SettingsStore, LoadTakesWhatTheFileHoldsAndDefaultsTheRest)
{
    static const LoadRow rows[] = {
        {1, NULL, 1, 1, 1, 500, 1},
        {2, "[Other]\r\nISLOCK=0\r\nCHECKTIME=900\r\n", 1, 1, 1, 500, 1},
        {3, "[Hushgate]\r\nISLOCK=0\r\n", 0, 1, 1, 500, 1},
        {4, "[Hushgate]\r\nISMUTE=7\r\n", 1, 1, 7, 500, 1},
        {5, "[Hushgate]\r\nCHECKTIME=50\r\n", 1, 1, 1, 50, 1},
        {6, "[A]\r\nISLOCK=0\r\n[Hushgate]\r\nISSCREENSAVE=0\r\nCHECKTIME=2500\r\n[B]\r\nISMUTE=0\r\n", 1, 0, 1, 2500, 1},
        {7, "[Hushgate]\r\nISLOCK=0\r\nISSCREENSAVE=0\r\nISMUTE=0\r\nCHECKTIME=10000\r\n", 0, 0, 0, 10000, 1},
        {8, "[Hushgate]\r\nISLOCK=-1\r\nCHECKTIME=-1\r\n", -1, 1, 1, -1, 1},
        {9, "[Hushgate]\r\nCHECKTIME=2147483647\r\n", 1, 1, 1, 2147483647, 1},
        {10, "[Hushgate]\r\nCHECKTIME=  300\r\n", 1, 1, 1, 300, 1},
        {11, "[Hushgate]\r\nCHECKTIME=0\r\n", 1, 1, 1, 0, 1},
        {12, "[Hushgate]\r\nISLOCK=0\r\nISSCREENSAVE=0\r\nISMUTE=0\r\nCHECKTIME=700\r\nISDEVICELOST=0\r\n", 0, 0, 0, 700, 0},
    };
    for (const LoadRow &row : rows) {
        removeTestSettings();
        loadFrom(row.contents);
        EXPECT_EQ(pluginState.settings.isLock, row.isLock) << "row " << row.row;
        EXPECT_EQ(pluginState.settings.isScreenSave, row.isScreenSave) << "row " << row.row;
        EXPECT_EQ(pluginState.settings.isMute, row.isMute) << "row " << row.row;
        EXPECT_EQ(pluginState.settings.checkTime, row.checkTime) << "row " << row.row;
        EXPECT_EQ(pluginState.settings.isDeviceLost, row.isDeviceLost) << "row " << row.row;
    }
}

// Text where a number belongs reads as the profile functions read it: no digits give 0, an
// empty value keeps the default. A byte-order mark loses nothing; keys under a broken section
// header are not the plug-in's.
TEST_F(SettingsStore, OddValuesLoadAsTheProfileFunctionsReadThem)
{
    static const LoadRow rows[] = {
        {1, "[Hushgate]\r\nCHECKTIME=fast\r\nISLOCK=\r\n", 1, 1, 1, 0, 1},
        {2, "[Hushgate]\r\nCHECKTIME=  -250ms\r\nISMUTE=0\r\n", 1, 1, 0, -250, 1},
        {3, "[Hushgate\r\nCHECKTIME=300\r\n", 1, 1, 1, 500, 1},
        {4, "\xEF\xBB\xBF[Hushgate]\r\nISMUTE=0\r\n", 1, 1, 0, 500, 1},
    };
    for (const LoadRow &row : rows) {
        loadFrom(row.contents);
        EXPECT_EQ(pluginState.settings.isLock, row.isLock) << "row " << row.row;
        EXPECT_EQ(pluginState.settings.isScreenSave, row.isScreenSave) << "row " << row.row;
        EXPECT_EQ(pluginState.settings.isMute, row.isMute) << "row " << row.row;
        EXPECT_EQ(pluginState.settings.checkTime, row.checkTime) << "row " << row.row;
        EXPECT_EQ(pluginState.settings.isDeviceLost, row.isDeviceLost) << "row " << row.row;
    }
}

TEST_F(SettingsStore, SaveWritesTheFiveKeysInOrderIntoANewFile)
{
    setSettings(0, 1, 7, 2500);
    pluginState.settings.isDeviceLost = 0;
    EXPECT_TRUE(saveSettings());
    char text[512];
    readTestSettings(text, sizeof text);
    EXPECT_STREQ(text, "[Hushgate]\r\nISLOCK=0\r\nISSCREENSAVE=1\r\nISMUTE=7\r\nCHECKTIME=2500\r\nISDEVICELOST=0\r\n");
}

TEST_F(SettingsStore, SaveRewritesItsKeysInPlaceAndLeavesOtherSectionsAlone)
{
    writeTestSettings("[Before]\r\nISLOCK=5\r\nkeep=me\r\n"
                      "[Hushgate]\r\nCHECKTIME=900\r\nEXTRA=x\r\nISLOCK=1\r\n"
                      "[After]\r\nCHECKTIME=1\r\n");
    setSettings(0, 0, 1, 300);
    EXPECT_TRUE(saveSettings());
    char text[1024];
    readTestSettings(text, sizeof text);
    EXPECT_STREQ(text, "[Before]\r\nISLOCK=5\r\nkeep=me\r\n"
                       "[Hushgate]\r\nCHECKTIME=300\r\nEXTRA=x\r\nISLOCK=0\r\nISSCREENSAVE=0\r\nISMUTE=1\r\nISDEVICELOST=1\r\n"
                       "[After]\r\nCHECKTIME=1\r\n");
}

TEST_F(SettingsStore, AFileThatCannotBeWrittenGivesWayToTheUsersOwnAndOnlyBothFailingIsReported)
{
    writeTestSettings("[Hushgate]\r\nCHECKTIME=900\r\n");
    // Read-only attributes do not stop root under Wine; a handle that denies writing does.
    HANDLE besideModule = CreateFileA(testSettingsPath(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    setSettings(0, 0, 0, 300);
    EXPECT_TRUE(saveSettings());
    char text[256];
    readTestSettings(text, sizeof text, testUserSettingsPath());
    EXPECT_STREQ(text, "[Hushgate]\r\nISLOCK=0\r\nISSCREENSAVE=0\r\nISMUTE=0\r\nCHECKTIME=300\r\nISDEVICELOST=1\r\n");
    loadFrom(NULL);
    EXPECT_EQ(pluginState.settings.checkTime, 300) << "the per-user file is read first";

    HANDLE perUser = CreateFileA(testUserSettingsPath(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    setSettings(0, 0, 0, 700);
    EXPECT_FALSE(saveSettings());
    EXPECT_EQ(pluginState.settings.checkTime, 700);
    CloseHandle(besideModule);
    // The per-user file, holding the section, is tried first; beside the module takes over.
    EXPECT_TRUE(saveSettings());
    EXPECT_EQ(GetPrivateProfileIntA("Hushgate", "CHECKTIME", -1, testSettingsPath()), 700);
    CloseHandle(perUser);
    setSettings(0, 0, 0, 800);
    EXPECT_TRUE(saveSettings());
    EXPECT_EQ(GetPrivateProfileIntA("Hushgate", "CHECKTIME", -1, testUserSettingsPath()), 800);
    EXPECT_EQ(GetPrivateProfileIntA("Hushgate", "CHECKTIME", -1, testSettingsPath()), 700);
}

struct AppDataRow {
    int row;
    const char *appData;  // NULL: unset
    BOOL saved;
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
    char module[MAX_PATH];
    char source[MAX_PATH];
    GetModuleFileNameA(NULL, source, MAX_PATH);
    wsprintfA(module, "%s\\g.dll", folder);
    lstrcpyA(source + lstrlenA(source) - lstrlenA("settings_tests.exe"), "..\\gen_hushgate_amp.dll");
    ASSERT_TRUE(CopyFileA(source, module, FALSE)) << module;
    HMODULE copy = LoadLibraryExA(module, NULL, DONT_RESOLVE_DLL_REFERENCES);
    ASSERT_NE(copy, (HMODULE)NULL) << module;
    char expectedFile[MAX_PATH + 16];
    wsprintfA(expectedFile, "%s\\plugin.ini", folder);
    pluginHeader.hDllInstance = copy;

    char path[MAX_PATH];
    EXPECT_FALSE(settingsFilePath(path));
    writeTestSettings("[Hushgate]\r\nCHECKTIME=900\r\n");
    setSettings(1, 1, 1, 500);
    loadSettings();
    EXPECT_EQ(pluginState.settings.checkTime, 500);
    const AppDataRow rows[] = {
        {1, testAppDataFolder(), TRUE},
        {2, folder, FALSE},     // 249 characters: no room for "\Hushgate\plugin.ini"
        {3, "appdata", FALSE},  // relative, though the current folder holds the scratch one
        {4, NULL, FALSE},
    };
    for (const AppDataRow &row : rows) {
        (void)SetEnvironmentVariableA("APPDATA", row.appData);
        EXPECT_EQ(saveSettings(), row.saved) << "row " << row.row;
    }
    EXPECT_EQ(GetFileAttributesA(expectedFile), INVALID_FILE_ATTRIBUTES);

    FreeLibrary(copy);
    DeleteFileA(module);
}
