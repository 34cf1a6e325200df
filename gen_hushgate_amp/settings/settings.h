// The settings on disk (plugin.ini beside the module, else the user's own) and the dialog
// that edits them.
// loadSettings runs in init; saveSettings and the dialog run on the player's window thread.
#pragma once
#include <windows.h>

// Paths are wide: the player's folder or the user's profile may be named outside the ANSI
// code page. The files themselves stay ANSI text.
// plugin.ini beside the module. FALSE when no trustworthy path exists (a module path cut
// short or too long to take the file name): then that file is neither read nor written.
BOOL settingsFilePath(WCHAR (&path)[MAX_PATH]);
// %APPDATA%\Hushgate\plugin.ini, for when the module's folder cannot be written. FALSE when
// APPDATA is unset, relative, or too long to take the rest of the path.
BOOL userSettingsFilePath(WCHAR (&path)[MAX_PATH]);
void loadSettings(void);

// What a save came to, so that the warning names the files that refused.
enum SaveOutcome {
    SAVE_DONE,
    SAVE_REFUSED_BY_USER_FILE,   // the per-user file comes first at the next start, and refused
    SAVE_REFUSED_BY_BOTH_FILES,  // neither file could take every key (or had no usable path)
};
SaveOutcome saveSettings(void);

// What the interval box's text reads as: leading white space, one sign, decimal digits up to
// the first other character; no digits give 0. Saturates far beyond any accepted interval.
LONG parseIntervalText(const char *text);
BOOL isAcceptedInterval(LONG milliseconds);

INT_PTR CALLBACK settingsDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
