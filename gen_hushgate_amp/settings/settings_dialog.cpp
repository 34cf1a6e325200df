// The modal settings dialog that config shows over the player window. OK applies every switch
// and the programs that are never a call at once, takes an interval from 100 to 10000 ms, then
// saves; Cancel does nothing.
#include "settings/settings.h"

#include "engine/ignored_programs.h"
#include "engine/player_sessions.h"
#include "engine/settings_in_force.h"
#include "engine/wake_signals.h"
#include "plugin/plugin.h"
#include "resources/resource.h"

enum { MIN_CHECK_TIME = 100, MAX_CHECK_TIME = 10000, INTERVAL_TEXT_SIZE = 32 };
// Two short of the list's buffer: a text this long is never mistaken for one cut on reading.
enum { IGNORE_BOX_LIMIT = IGNORE_LIST_SIZE - 2 };

// Any value past this is already out of range; holding it here keeps long digit runs from
// wrapping back into range.
static const LONG INTERVAL_SATURATION = 1000000;

static BOOL isIntervalSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

static BOOL isDecimalDigit(char c)
{
    return c >= '0' && c <= '9';
}

LONG parseIntervalText(const char *text)
{
    while (isIntervalSpace(*text))
        ++text;
    BOOL negative = *text == '-';
    if (*text == '-' || *text == '+')
        ++text;
    LONG value = 0;
    for (; isDecimalDigit(*text); ++text) {
        if (value < INTERVAL_SATURATION)
            value = value * 10 + (*text - '0');
    }
    return negative ? -value : value;
}

BOOL isAcceptedInterval(LONG milliseconds)
{
    return milliseconds >= MIN_CHECK_TIME && milliseconds <= MAX_CHECK_TIME;
}

static void checkBoxFrom(HWND dialog, int id, LONG setting)
{
    (void)CheckDlgButton(dialog, id, setting != 0 ? BST_CHECKED : BST_UNCHECKED);
}

static LONG checkBoxValue(HWND dialog, int id)
{
    return IsDlgButtonChecked(dialog, id) == BST_CHECKED ? 1 : 0;
}

// A switch for what this Windows cannot watch shows its value, greyed: the output devices came
// with Core Audio (Vista), the other programs' audio sessions with Windows 7.
static void greyWhatCannotBeWatched(HWND dialog)
{
    if (!pluginState.hasCoreAudio)
        (void)EnableWindow(GetDlgItem(dialog, IDC_PAUSE_ON_DEVICE_LOST), FALSE);
    if (pluginState.hasCoreAudio && systemListsAudioSessions())
        return;
    static const int callControls[] = {IDC_PAUSE_ON_CALL, IDC_CALL_IGNORE_LABEL, IDC_CALL_IGNORE};
    for (int id : callControls)
        (void)EnableWindow(GetDlgItem(dialog, id), FALSE);
}

// What the box of programs went through since the dialog showed it, on the player's thread:
// whether the text it holds now is what an insertion it cut short left there. The box sends
// EN_MAXTEXT before the EN_CHANGE of the same insertion; for a key or a paste it refused
// whole, which changes nothing, that EN_CHANGE may come or not.
struct IgnoreBoxEdits {
    WCHAR seen[IGNORE_LIST_SIZE];  // the text at the last change
    BOOL limitReached;             // the change under way met the box's limit
    int cutAt;                     // where the insertion the limit cut ended, or -1
};
static IgnoreBoxEdits ignoreBoxEdits;

static BOOL ignoreBoxTextIsSeen(HWND box)
{
    WCHAR text[IGNORE_LIST_SIZE];
    text[0] = L'\0';
    (void)GetWindowTextW(box, text, IGNORE_LIST_SIZE);
    return lstrcmpW(text, ignoreBoxEdits.seen) == 0;
}

static void readSelection(HWND box, DWORD &start, DWORD &end)
{
    start = 0;
    end = 0;
    (void)SendMessageW(box, EM_GETSEL, (WPARAM)&start, (LPARAM)&end);
}

// The caret stands where the text the box took in ends: at the cut, when the limit cut it.
static int insertionEnd(HWND box)
{
    DWORD start, end;
    readSelection(box, start, end);
    return (int)end;
}

// A change the limit cut short leaves a cut name; any other change is the user's own text,
// seen and edited. A change that left the text as it was tells nothing.
static void noteIgnoreBoxChange(HWND box)
{
    if (!ignoreBoxTextIsSeen(box)) {
        (void)GetWindowTextW(box, ignoreBoxEdits.seen, IGNORE_LIST_SIZE);
        ignoreBoxEdits.cutAt = ignoreBoxEdits.limitReached ? insertionEnd(box) : -1;
    }
    ignoreBoxEdits.limitReached = FALSE;
}

// Told before or after the insertion: a full box, unchanged, with nothing selected, takes
// nothing in, so the limit it met cuts nothing, whether an EN_CHANGE follows or not.
static void noteIgnoreBoxLimit(HWND box)
{
    DWORD start, end;
    readSelection(box, start, end);
    BOOL full = GetWindowTextLengthW(box) >= IGNORE_BOX_LIMIT;
    ignoreBoxEdits.limitReached = !(full && start == end && ignoreBoxTextIsSeen(box));
}

static void showIgnoredPrograms(HWND dialog)
{
    WCHAR list[IGNORE_LIST_SIZE];
    copyIgnoredPrograms(list);
    (void)lstrcpyW(ignoreBoxEdits.seen, list);
    ignoreBoxEdits.limitReached = FALSE;
    ignoreBoxEdits.cutAt = -1;
    HWND box = GetDlgItem(dialog, IDC_CALL_IGNORE);
    (void)SendMessageW(box, EM_LIMITTEXT, IGNORE_BOX_LIMIT, 0);
    // Wide: a program named outside the ANSI code page shows as it is.
    (void)SetWindowTextW(box, list);
}

static void showSettings(HWND dialog)
{
    Settings shown = settingsInForce();
    checkBoxFrom(dialog, IDC_PAUSE_ON_LOCK, shown.isLock);
    checkBoxFrom(dialog, IDC_PAUSE_ON_SCREENSAVER, shown.isScreenSave);
    checkBoxFrom(dialog, IDC_PAUSE_ON_MUTE, shown.isMute);
    checkBoxFrom(dialog, IDC_PAUSE_ON_DEVICE_LOST, shown.isDeviceLost);
    checkBoxFrom(dialog, IDC_PAUSE_ON_CALL, shown.isCall);
    showIgnoredPrograms(dialog);
    greyWhatCannotBeWatched(dialog);
    char text[INTERVAL_TEXT_SIZE];
    (void)wsprintfA(text, "%d", (int)shown.checkTime);
    (void)SetWindowTextA(GetDlgItem(dialog, IDC_CHECK_INTERVAL), text);
}

static void readInterval(HWND dialog, Settings &next)
{
    HWND box = GetDlgItem(dialog, IDC_CHECK_INTERVAL);
    // A longer text is not read at all: the old interval stays.
    if (GetWindowTextLengthA(box) >= INTERVAL_TEXT_SIZE)
        return;
    char text[INTERVAL_TEXT_SIZE];
    text[0] = '\0';
    (void)GetWindowTextA(box, text, sizeof text);
    LONG milliseconds = parseIntervalText(text);
    if (isAcceptedInterval(milliseconds))
        next.checkTime = milliseconds;
}

// The name a cut fell in, wherever the insertion was, and the last name of a text longer than
// the list holds, are dropped whole, so that no cut name matches another program. TRUE: the
// text is the start of a longer one.
static BOOL readIgnoredPrograms(HWND dialog, WCHAR (&list)[IGNORE_LIST_SIZE])
{
    HWND box = GetDlgItem(dialog, IDC_CALL_IGNORE);
    BOOL tooLong = GetWindowTextLengthW(box) >= IGNORE_LIST_SIZE - 1;
    list[0] = L'\0';
    (void)GetWindowTextW(box, list, IGNORE_LIST_SIZE);
    if (ignoreBoxEdits.cutAt >= 0 && ignoreBoxEdits.cutAt <= lstrlenW(list))
        dropNameAt(list, ignoreBoxEdits.cutAt);
    return tooLong;
}

// Every box is read before anything is applied, and the switches, the interval and the list go
// out as one set: the watch thread polls on the old set or the new one, never on a mix.
static void applySettings(HWND dialog)
{
    Settings next = settingsInForce();
    next.isLock = checkBoxValue(dialog, IDC_PAUSE_ON_LOCK);
    next.isScreenSave = checkBoxValue(dialog, IDC_PAUSE_ON_SCREENSAVER);
    next.isMute = checkBoxValue(dialog, IDC_PAUSE_ON_MUTE);
    next.isDeviceLost = checkBoxValue(dialog, IDC_PAUSE_ON_DEVICE_LOST);
    next.isCall = checkBoxValue(dialog, IDC_PAUSE_ON_CALL);
    readInterval(dialog, next);
    WCHAR list[IGNORE_LIST_SIZE];
    BOOL cut = readIgnoredPrograms(dialog, list);
    publishSettings(next, list, cut);
}

// The one place the plug-in speaks: the user pressed OK and believes the settings are kept.
// It names the files that refused: the per-user file alone when the next start reads it
// first, else both. Wide, so that a path outside the ANSI code page reads as it is.
static void warnIfNotSaved(HWND dialog, SaveOutcome outcome)
{
    if (outcome == SAVE_DONE)
        return;
    WCHAR perUser[MAX_PATH];
    if (!userSettingsFilePath(perUser))
        (void)lstrcpyW(perUser, L"%APPDATA%\\Hushgate\\plugin.ini (no usable APPDATA folder)");
    // Well within the 1024 characters wsprintfW writes at most.
    WCHAR text[2 * MAX_PATH + 200];
    if (outcome == SAVE_REFUSED_BY_USER_FILE) {
        (void)wsprintfW(text,
                        L"Hushgate could not save its settings to\r\n%s\r\n\r\n"
                        L"The new settings apply until the player closes.",
                        perUser);
    } else {
        WCHAR besideModule[MAX_PATH];
        if (!settingsFilePath(besideModule))
            (void)lstrcpyW(besideModule, L"plugin.ini in the plug-in's folder (its path is too long)");
        (void)wsprintfW(text,
                        L"Hushgate could not save its settings to\r\n%s\r\nor to\r\n%s\r\n\r\n"
                        L"The new settings apply until the player closes.",
                        besideModule, perUser);
    }
    (void)MessageBoxW(dialog, text, L"Hushgate", MB_OK | MB_ICONWARNING);
}

INT_PTR CALLBACK settingsDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_INITDIALOG:
        showSettings(dialog);
        break;
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDC_CALL_IGNORE:
            if (HIWORD(wParam) == EN_MAXTEXT)
                noteIgnoreBoxLimit((HWND)lParam);
            else if (HIWORD(wParam) == EN_CHANGE)
                noteIgnoreBoxChange((HWND)lParam);
            break;
        case IDOK:
            // The dialog ends last: while the warning is up the player stays disabled under it,
            // so Configure cannot be pressed again nor the player closed beneath the message.
            applySettings(dialog);
            // The loop polls with the new switches now and waits the new interval from there,
            // rather than finishing a long wait begun under the old one.
            wakeWatchLoop();
            warnIfNotSaved(dialog, saveSettings());
            (void)EndDialog(dialog, 1);
            break;
        case IDCANCEL:
            (void)EndDialog(dialog, 0);
            break;
        }
        break;
    }
    return 0;
}
