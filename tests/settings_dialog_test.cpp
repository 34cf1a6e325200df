// The settings dialog, shown by config on this thread and driven from a helper thread
// through its real controls, as a user's clicks and typing would.
#include <wchar.h>

#include "engine/ignored_programs.h"
#include "engine/wake_signals.h"
#include "engine/watch_build.h"
#include "engine/watch_loop.h"
#include "resources/resource.h"
#include "simulated_sessions.h"
#include "simulated_speakers.h"
#include "test_support.h"

// What the helper thread does to the dialog once it is up, and what it saw first.
enum { BOXES = 5 };

struct DialogScript {
    BOOL setChecks;
    BOOL checks[BOXES];
    const char *intervalText;  // NULL: leave the box as it is
    const WCHAR *ignoreText;   // the same
    BOOL ignoreTyped;          // as a user's typing or paste, which the box's limit cuts
    const WCHAR *keysAfter;    // then typed key by key, at the end or over the whole text
    BOOL keysOverAll;
    BOOL maxTextAlone;         // first a key the full box refused, told without an EN_CHANGE
    const WCHAR *pastedAtStart;  // then pasted before the text's first letter
    int finish;                // IDOK, IDCANCEL, or 0 for the caption's close box
    int pollAtBox;             // a check box whose read by OK runs a poll, or 0
    BOOL answerReport;         // OK is expected to bring up the "not saved" message box
    WCHAR reportText[1024];
    BOOL playerEnabledUnderReport;
    BOOL shownChecks[BOXES];
    BOOL enabled[BOXES];
    char shownInterval[64];
    WCHAR shownIgnore[IGNORE_LIST_SIZE];
    BOOL ignoreEnabled;
    BOOL found;
};

static const int checkBoxIds[BOXES] = {IDC_PAUSE_ON_LOCK, IDC_PAUSE_ON_SCREENSAVER, IDC_PAUSE_ON_MUTE,
                                       IDC_PAUSE_ON_DEVICE_LOST, IDC_PAUSE_ON_CALL};

static HWND waitForDialog(const char *caption)
{
    for (int attempt = 0; attempt < 400; ++attempt) {
        HWND dialog = FindWindowA((LPCSTR)WC_DIALOG, caption);
        if (dialog != NULL && IsWindowVisible(dialog))
            return dialog;
        Sleep(5);
    }
    return NULL;
}

static void click(HWND dialog, int id)
{
    (void)SendMessageA(GetDlgItem(dialog, id), BM_CLICK, 0, 0);
}

// OK is posted, not sent: the message box it brings up runs its own loop inside the dialog's
// procedure, and a sent click would wait for it.
static void answerReport(DialogScript &script, HWND dialog)
{
    (void)PostMessageA(dialog, WM_COMMAND, IDOK, 0);
    HWND box = waitForDialog("Hushgate");
    if (box == NULL)
        return;
    (void)GetDlgItemTextW(box, 0xFFFF, script.reportText, ARRAYSIZE(script.reportText));
    script.playerEnabledUnderReport = IsWindowEnabled(pluginHeader.hwndParent);
    (void)PostMessageA(box, WM_COMMAND, IDOK, 0);
}

// A poll that falls between OK's reads of two boxes, as the watch thread's may: it runs in the
// box's own procedure, on the dialog's thread, when OK asks the box whether it is checked.
static WNDPROC boxProcBeforePoll;
static volatile LONG pollArmed;
static LONG pollsWhileReading;

static LRESULT CALLBACK pollWhenReadProc(HWND box, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == BM_GETCHECK && InterlockedExchange(&pollArmed, 0) != 0) {
        pollOnce();
        ++pollsWhileReading;
    }
    return CallWindowProcA(boxProcBeforePoll, box, message, wParam, lParam);
}

static void pollWhenRead(HWND dialog, int id)
{
    HWND box = GetDlgItem(dialog, id);
    boxProcBeforePoll = (WNDPROC)SetWindowLongA(box, GWL_WNDPROC, (LONG)pollWhenReadProc);
    pollArmed = 1;
}

static DWORD WINAPI driveDialog(LPVOID parameter)
{
    DialogScript &script = *(DialogScript *)parameter;
    HWND dialog = waitForDialog("setting about hushgate");
    script.found = dialog != NULL;
    if (dialog == NULL)
        return 0;
    for (int i = 0; i < BOXES; ++i) {
        script.shownChecks[i] = SendMessageA(GetDlgItem(dialog, checkBoxIds[i]), BM_GETCHECK, 0, 0) == BST_CHECKED;
        script.enabled[i] = IsWindowEnabled(GetDlgItem(dialog, checkBoxIds[i]));
    }
    (void)SendMessageA(GetDlgItem(dialog, IDC_CHECK_INTERVAL), WM_GETTEXT, sizeof script.shownInterval,
                       (LPARAM)script.shownInterval);
    HWND ignoreBox = GetDlgItem(dialog, IDC_CALL_IGNORE);
    (void)SendMessageW(ignoreBox, WM_GETTEXT, ARRAYSIZE(script.shownIgnore), (LPARAM)script.shownIgnore);
    script.ignoreEnabled = IsWindowEnabled(ignoreBox) && IsWindowEnabled(GetDlgItem(dialog, IDC_CALL_IGNORE_LABEL));
    if (script.ignoreText != NULL && script.ignoreTyped) {
        (void)SendMessageW(ignoreBox, EM_SETSEL, 0, -1);
        (void)SendMessageW(ignoreBox, EM_REPLACESEL, TRUE, (LPARAM)script.ignoreText);
    } else if (script.ignoreText != NULL) {
        (void)SendMessageW(ignoreBox, WM_SETTEXT, 0, (LPARAM)script.ignoreText);
    }
    // Windows may tell a refused key so; the box under Wine follows with an EN_CHANGE.
    if (script.maxTextAlone)
        (void)SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDC_CALL_IGNORE, EN_MAXTEXT), (LPARAM)ignoreBox);
    if (script.pastedAtStart != NULL) {
        (void)SendMessageW(ignoreBox, EM_SETSEL, 0, 0);
        (void)SendMessageW(ignoreBox, EM_REPLACESEL, TRUE, (LPARAM)script.pastedAtStart);
    }
    if (script.keysAfter != NULL) {
        (void)SendMessageW(ignoreBox, EM_SETSEL, script.keysOverAll ? 0 : -1, -1);
        for (const WCHAR *key = script.keysAfter; *key != L'\0'; ++key)
            (void)SendMessageW(ignoreBox, WM_CHAR, *key, 0);
    }
    if (script.setChecks) {
        for (int i = 0; i < BOXES; ++i) {
            if (script.shownChecks[i] != script.checks[i])
                click(dialog, checkBoxIds[i]);
        }
    }
    if (script.intervalText != NULL)
        (void)SendMessageA(GetDlgItem(dialog, IDC_CHECK_INTERVAL), WM_SETTEXT, 0, (LPARAM)script.intervalText);
    if (script.pollAtBox != 0)
        pollWhenRead(dialog, script.pollAtBox);
    if (script.finish == 0)
        (void)SendMessageA(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
    else if (script.answerReport)
        answerReport(script, dialog);
    else
        click(dialog, script.finish);
    return 0;
}

class SettingsDialog : public PluginTest {
protected:
    void run(DialogScript &script)
    {
        HANDLE driver = CreateThread(NULL, 0, driveDialog, &script, 0, NULL);
        pluginHeader.config();
        (void)WaitForSingleObject(driver, 5000);
        CloseHandle(driver);
        ASSERT_TRUE(script.found) << "the dialog never appeared";
    }
};

static const WCHAR someIgnored[] = L"obs64.exe; \x041F\x0443\x043B\x044C\x0442.exe";

TEST_F(SettingsDialog, ShowsTheCurrentSettings)
{
    setSettings(0, 1, 7, 2500);
    pluginState.settings.isDeviceLost = 0;
    pluginState.settings.isCall = 1;
    setIgnoredPrograms(someIgnored, FALSE);
    DialogScript script = {};
    script.finish = IDCANCEL;
    run(script);
    static const BOOL shown[BOXES] = {FALSE, TRUE, TRUE, FALSE, TRUE};
    for (int i = 0; i < BOXES; ++i) {
        EXPECT_EQ(script.shownChecks[i], shown[i]) << "box " << i;
        EXPECT_TRUE(script.enabled[i]) << "box " << i;
    }
    EXPECT_STREQ(script.shownInterval, "2500");
    EXPECT_STREQ(script.shownIgnore, someIgnored);
    EXPECT_TRUE(script.ignoreEnabled);
}

struct MissingRow {
    int row;
    const char *system;
    BOOL coreAudioMissing, sessionInterfacesMissing;
    BOOL outputBoxEnabled, callBoxEnabled;
};

// What this Windows cannot watch shows its value greyed, as the watch thread found the system,
// not as its version says; OK keeps the value. The dialog itself asks the audio service nothing.
TEST_F(SettingsDialog, BoxesForWhatWindowsCannotWatchAreGreyedAndKeepTheirValues)
{
    static const MissingRow rows[] = {
        {1, "Windows 2000 or XP: no Core Audio", TRUE, TRUE, FALSE, FALSE},
        {2, "Vista: no session manager of the second kind", FALSE, TRUE, TRUE, FALSE},
        {3, "Windows 7 and later", FALSE, FALSE, TRUE, TRUE},
    };
    for (const MissingRow &row : rows) {
        resetConditions();
        pluginState.hasCoreAudio = !row.coreAudioMissing;
        simulatedSessions.failing[SESSION_STEP_MANAGER] = row.sessionInterfacesMissing;
        setSettings(1, 1, 1, 500);
        pluginState.settings.isDeviceLost = 1;
        pluginState.settings.isCall = 0;
        setIgnoredPrograms(L"obs64.exe", FALSE);
        watchSignalsBegin();
        watchSignalsEnd();
        DialogScript script = {};
        script.finish = IDOK;
        startCountingCalls();
        run(script);
        stopCountingCalls();
        EXPECT_EQ(callCounts.comEnters, 0) << "row " << row.row << ": the dialog called Core Audio";
        EXPECT_EQ(script.enabled[3], row.outputBoxEnabled) << "row " << row.row << ": " << row.system;
        EXPECT_EQ(script.enabled[4], row.callBoxEnabled) << "row " << row.row << ": " << row.system;
        EXPECT_EQ(script.ignoreEnabled, row.callBoxEnabled) << "row " << row.row << ": " << row.system;
        EXPECT_TRUE(script.shownChecks[3] && !script.shownChecks[4]) << "row " << row.row;
        EXPECT_EQ(pluginState.settings.isDeviceLost, 1) << "row " << row.row;
        EXPECT_EQ(pluginState.settings.isCall, 0) << "row " << row.row;
        WCHAR kept[IGNORE_LIST_SIZE];
        copyIgnoredPrograms(kept);
        EXPECT_STREQ(kept, L"obs64.exe") << "row " << row.row;
    }
    simulatedSessions.failing[SESSION_STEP_MANAGER] = 0;
}

struct IntervalRow {
    int row;
    const char *text;
    LONG checkTime;  // what OK leaves, starting from 700
};

TEST_F(SettingsDialog, OkTakesOnlyAnIntervalFrom100To10000)
{
    static const IntervalRow rows[] = {
        {1, "250", 250},
        {2, "   300", 300},
        {3, "300ms", 300},
        {4, "\t\r\n 400", 400},
        {5, "99", 700},
        {6, "10001", 700},
        {7, "-500", 700},
        {8, "letters", 700},
        {9, "", 700},
        {10, "100", 100},
        {11, "10000", 10000},
        {12, "                             300", 700},  // 32 characters: not read
        {13, "                            250", 250},   // 31 characters
        {14, "4294967796", 700},                       // 2^32 + 500
        {15, "18446744073709552116", 700},             // 2^64 + 500
        {16, "99999999999", 700},
        {17, "+500", 500},
        {18, "-0", 700},
        {19, "0x200", 700},
        {20, "\x82\x54\x82\x4f\x82\x4f", 700},  // double-byte digits
        {21, "\xb5" "500", 700},
        {22, "-4294966796", 700},
    };
    for (const IntervalRow &row : rows) {
        setSettings(1, 1, 1, 700);
        DialogScript script = {};
        script.intervalText = row.text;
        script.finish = IDOK;
        run(script);
        EXPECT_EQ(pluginState.settings.checkTime, row.checkTime) << "row " << row.row << " \"" << row.text << "\"";
        EXPECT_EQ(GetPrivateProfileIntA("Hushgate", "CHECKTIME", -1, testSettingsPath()), row.checkTime)
            << "row " << row.row;
    }
}

struct ListCutRow {
    int row;
    BOOL typed;
    std::wstring text;
    const WCHAR *program;
    BOOL ignored;
    const WCHAR *keysAfter;  // typed key by key once the text is in, or NULL
    BOOL keysOverAll;        // over the whole text selected, else at its end
    BOOL maxTextAlone;
    const WCHAR *pastedAtStart;
};

static std::wstring listOf(size_t length, const WCHAR *tail)
{
    std::wstring list = L"a.exe;";
    list.append(length - list.size() - lstrlenW(tail), L'x');
    return list + tail;
}

// The box takes 1,022 characters: a paste it cuts, or a longer text put in, loses the name the
// cut fell in, never leaving a cut name that matches another program. Only a text the box
// really cut loses a name: not one typed over the cut, nor a full one that refused a key.
TEST_F(SettingsDialog, AListLongerThanTheBoxKeepsWholeNamesOnly)
{
    const ListCutRow rows[] = {
        {1, TRUE, listOf(1022, L";obs64.exe"), L"obs64.exe", TRUE, NULL, FALSE, FALSE, NULL},
        {2, TRUE, listOf(1022, L";obs64.exe") + L"_old.exe", L"obs64.exe", FALSE, NULL, FALSE, FALSE, NULL},
        {3, TRUE, listOf(1022, L";obs64.exe") + L"_old.exe", L"a.exe", TRUE, NULL, FALSE, FALSE, NULL},
        {4, FALSE, listOf(1023, L";obs64.exe") + L"_old.exe", L"obs64.exe", FALSE, NULL, FALSE, FALSE, NULL},
        {5, FALSE, listOf(1500, L";obs64.exe"), L"a.exe", TRUE, NULL, FALSE, FALSE, NULL},
        {6, TRUE, listOf(1500, L";obs64.exe"), L"voicemeeter.exe", TRUE, L"obs64.exe; voicemeeter.exe", TRUE, FALSE, NULL},
        {7, TRUE, listOf(1022, L";obs64.exe"), L"obs64.exe", TRUE, L"x", FALSE, FALSE, NULL},
        {8, TRUE, listOf(1022, L";obs64.exe") + L"_old.exe", L"obs64.exe", FALSE, L"x", FALSE, FALSE, NULL},
        {9, TRUE, listOf(1022, L";obs64.exe"), L"obs64.ex", TRUE, L"\b", FALSE, TRUE, NULL},  // one erased after
        // Cut in the middle: the name it fell in goes, with the one it ran into; the first and
        // the last stay. A cut right after a separator cut no name.
        {10, TRUE, listOf(1000, L";obs64.exe"), L"obs64.exe", TRUE, NULL, FALSE, FALSE, L"zoom.exe;recorder.exe.x;"},
        {11, TRUE, listOf(1000, L";obs64.exe"), L"zoom.exe", TRUE, NULL, FALSE, FALSE, L"zoom.exe;recorder.exe.x;"},
        {12, TRUE, listOf(1000, L";obs64.exe"), L"a.exe", FALSE, NULL, FALSE, FALSE, L"zoom.exe;recorder.exe.x;"},
        {13, TRUE, listOf(1000, L";obs64.exe"), L"a.exe", TRUE, NULL, FALSE, FALSE, L"zoom.exe;recorder.exe;x;"},
    };
    for (const ListCutRow &row : rows) {
        setIgnoredPrograms(L"", FALSE);
        DialogScript script = {};
        script.ignoreText = row.text.c_str();
        script.ignoreTyped = row.typed;
        script.keysAfter = row.keysAfter;
        script.keysOverAll = row.keysOverAll;
        script.maxTextAlone = row.maxTextAlone;
        script.pastedAtStart = row.pastedAtStart;
        script.finish = IDOK;
        run(script);
        EXPECT_EQ(isIgnoredProgramName(row.program), row.ignored) << "row " << row.row;
    }
}

// Every box, the output's and the call's too, and the programs that are never a call go
// into the settings at once and into the file.
TEST_F(SettingsDialog, OkStoresEveryBoxAsZeroOrOneAndTheProgramsNeverACall)
{
    setSettings(1, 0, 7, 500);
    pluginState.settings.isDeviceLost = 1;
    pluginState.settings.isCall = 0;
    setIgnoredPrograms(L"", FALSE);
    DialogScript script = {};
    script.setChecks = TRUE;
    const BOOL wanted[BOXES] = {TRUE, FALSE, TRUE, FALSE, TRUE};
    CopyMemory(script.checks, wanted, sizeof wanted);
    script.ignoreText = L" obs64.exe ;voicemeeter.exe";
    script.finish = IDOK;
    run(script);
    EXPECT_EQ(pluginState.settings.isMute, 1);
    EXPECT_EQ(pluginState.settings.isDeviceLost, 0);
    EXPECT_EQ(pluginState.settings.isCall, 1);
    EXPECT_TRUE(isIgnoredProgramName(L"VoiceMeeter.exe"));
    char text[256];
    readTestSettings(text, sizeof text);
    EXPECT_STREQ(text, "[Hushgate]\r\nISLOCK=1\r\nISSCREENSAVE=0\r\nISMUTE=1\r\nCHECKTIME=500\r\nISDEVICELOST=0\r\n"
                       "ISCALL=1\r\nCALLIGNORE=\\u0020obs64.exe ;voicemeeter.exe\r\n");
}

struct RefusalRow {
    int row;
    const char *besideModule, *perUser;  // each file there is held against writing; NULL: none
    BOOL unicodeAppData;
    BOOL namesBesideModule;  // the per-user file is named in every row
};

// The warning names the files that refused: the per-user file alone where the next start
// reads it first, else both, with a path outside the ANSI code page as it is. The settings
// apply all the same.
TEST_F(SettingsDialog, OkThatCannotSaveAppliesTheSettingsAndNamesTheFilesThatRefused)
{
    static const char holds[] = "[Hushgate]\r\nCHECKTIME=900\r\n";
    static const RefusalRow rows[] = {
        {1, holds, "[Other]\r\nKEY=1\r\n", FALSE, TRUE},
        {2, NULL, holds, FALSE, FALSE},  // beside the module could be written, but is not read
        {3, NULL, holds, TRUE, FALSE},
    };
    std::wstring unicodeAppData = makeUnicodeFolder(L"appdata");
    for (const RefusalRow &row : rows) {
        removeTestSettings();
        std::wstring appData = row.unicodeAppData ? unicodeAppData : widePath(testAppDataFolder());
        (void)SetEnvironmentVariableW(L"APPDATA", appData.c_str());
        const std::wstring paths[2] = {widePath(testSettingsPath()), appData + L"\\Hushgate\\plugin.ini"};
        const char *contents[2] = {row.besideModule, row.perUser};
        HANDLE holders[2] = {INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE};
        for (int i = 0; i < 2; ++i) {
            if (contents[i] == NULL)
                continue;
            writeTestSettings(contents[i], paths[i].c_str());
            holders[i] = CreateFileW(paths[i].c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
            ASSERT_NE(holders[i], INVALID_HANDLE_VALUE) << "row " << row.row;
        }
        setSettings(1, 1, 1, 900);
        DialogScript script = {};
        script.setChecks = TRUE;
        script.intervalText = "300";
        script.finish = IDOK;
        script.answerReport = TRUE;
        run(script);
        for (HANDLE holder : holders) {
            if (holder != INVALID_HANDLE_VALUE)
                CloseHandle(holder);
        }
        EXPECT_FALSE(script.playerEnabledUnderReport) << "row " << row.row << ": the warning must be modal";
        EXPECT_EQ(pluginState.settings.isLock, 0) << "row " << row.row;
        EXPECT_EQ(pluginState.settings.checkTime, 300) << "row " << row.row;
        EXPECT_NE(wcsstr(script.reportText, paths[1].c_str()), nullptr)
            << "row " << row.row << ": " << script.reportText;
        EXPECT_EQ(wcsstr(script.reportText, paths[0].c_str()) != nullptr, row.namesBesideModule)
            << "row " << row.row << ": " << script.reportText;
        EXPECT_NE(wcsstr(script.reportText, L"until the player closes"), nullptr) << "row " << row.row;
    }
    removeSettingsUnder(unicodeAppData);
    (void)RemoveDirectoryW(unicodeAppData.c_str());
}

TEST_F(SettingsDialog, CancelAndTheCloseBoxChangeAndWriteNothing)
{
    for (int finish : {IDCANCEL, 0}) {
        setSettings(1, 1, 1, 700);
        pluginState.settings.isDeviceLost = 1;
        pluginState.settings.isCall = 1;
        DialogScript script = {};
        script.setChecks = TRUE;
        script.intervalText = "300";
        script.ignoreText = L"obs64.exe";
        script.finish = finish;
        run(script);
        EXPECT_EQ(pluginState.settings.isLock, 1) << finish;
        EXPECT_EQ(pluginState.settings.isScreenSave, 1) << finish;
        EXPECT_EQ(pluginState.settings.isMute, 1) << finish;
        EXPECT_EQ(pluginState.settings.checkTime, 700) << finish;
        EXPECT_EQ(pluginState.settings.isDeviceLost + pluginState.settings.isCall, 2) << finish;
        EXPECT_FALSE(isIgnoredProgramName(L"obs64.exe")) << finish;
        EXPECT_EQ(GetFileAttributesA(testSettingsPath()), INVALID_FILE_ATTRIBUTES) << finish;
    }
}

TEST_F(SettingsDialog, ClearingEveryBoxLetsTheLoopResumeItsPauseAtTheNextPoll)
{
    installFilter();
    setSettings(1, 0, 0, 500);
    playerWindow.playState = PLAY_STATE_PLAYING;
    setWorkstationLocked(TRUE);
    pollOnce();
    ASSERT_EQ(pluginState.pausedByPlugin, 1);
    DialogScript script = {};
    script.setChecks = TRUE;
    script.finish = IDOK;
    run(script);
    EXPECT_EQ(pluginState.settings.isLock, 0);
    startCountingCalls();
    pollOnce();
    stopCountingCalls();
    EXPECT_EQ(playerWindow.playState, PLAY_STATE_PLAYING);
    EXPECT_EQ(pluginState.pausedByPlugin, 0);
    EXPECT_EQ(callCounts.lockProbes + callCounts.screenSaverQuery + callCounts.mixerOpenAttempts, 0);
    char text[256];
    readTestSettings(text, sizeof text);
    EXPECT_STREQ(text, "[Hushgate]\r\nISLOCK=0\r\nISSCREENSAVE=0\r\nISMUTE=0\r\nCHECKTIME=500\r\nISDEVICELOST=0\r\nISCALL=0\r\nCALLIGNORE=\r\n");
}

struct PollDuringOkRow {
    int row;
    int pollAtBox;
};

// OK turns the lock off and the mute on while both hold: a poll that falls while OK reads the
// boxes sees the old settings or the new, either of which keeps the pause, never neither.
TEST_F(SettingsDialog, APollWhileOkReadsTheBoxesKeepsThePauseBothSettingsHold)
{
    static const PollDuringOkRow rows[] = {
        {1, IDC_PAUSE_ON_SCREENSAVER},
        {2, IDC_PAUSE_ON_MUTE},
    };
    installFilter();
    setWorkstationLocked(TRUE);
    setSpeakersMuted(TRUE);
    for (const PollDuringOkRow &row : rows) {
        setSettings(1, 0, 0, 500);
        pluginState.settings.isCall = 0;
        // Each row starts playing, with no pause of the row before held: a player found playing
        // during a pause of ours would be the user's start over it.
        pluginState.pausedByPlugin = 0;
        playerWindow.playState = PLAY_STATE_PLAYING;
        pollOnce();
        ASSERT_EQ(pluginState.pausedByPlugin, 1) << "row " << row.row;
        clearPlayerLog();
        pollsWhileReading = 0;
        DialogScript script = {};
        script.setChecks = TRUE;
        const BOOL wanted[BOXES] = {FALSE, FALSE, TRUE, TRUE, FALSE};
        CopyMemory(script.checks, wanted, sizeof wanted);
        script.pollAtBox = row.pollAtBox;
        script.finish = IDOK;
        run(script);
        EXPECT_EQ(pollsWhileReading, 1) << "row " << row.row;
        pollOnce();
        EXPECT_EQ(pauseTogglesSeen(), 0) << "row " << row.row << ": a poll saw neither setting and resumed";
        EXPECT_EQ(pluginState.pausedByPlugin, 1) << "row " << row.row;
    }
}

// A long wait under way ends at OK: the loop polls at once and waits the new interval.
TEST_F(SettingsDialog, ANewIntervalActsWithinTheWaitUnderWay)
{
    writeTestSettings("[Hushgate]\r\nISLOCK=0\r\nISSCREENSAVE=0\r\nISMUTE=0\r\nCHECKTIME=10000\r\n");
    startCountingCalls();
    pluginHeader.init();
    ASSERT_TRUE(waitForWatchThreadWaits(1, 2000));
    DialogScript script = {};
    script.intervalText = "100";
    script.finish = IDOK;
    run(script);
    EXPECT_TRUE(waitForWatchThreadWaits(2, 2000)) << "the wait begun under 10000 ms went on";
    EXPECT_EQ(callCounts.lastWaitMs, 100);
    pluginHeader.quit();
}
