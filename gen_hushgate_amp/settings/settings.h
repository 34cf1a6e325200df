// The settings on disk (plugin.ini beside the module, else the user's own) and the dialog
// that edits them.
// loadSettings runs in init; saveSettings and the dialog run on the player's window thread.
#pragma once
#include <windows.h>

// plugin.ini beside the module. FALSE when no trustworthy path exists (a module path cut
// short or too long to take the file name): then that file is neither read nor written.
BOOL settingsFilePath(char (&path)[MAX_PATH]);
// %APPDATA%\Hushgate\plugin.ini, for when the module's folder cannot be written. FALSE when
// APPDATA is unset, relative, or too long to take the rest of the path.
BOOL userSettingsFilePath(char (&path)[MAX_PATH]);
void loadSettings(void);
// FALSE when neither file could take every key (folders without write access, no usable path).
BOOL saveSettings(void);

// What the interval box's text reads as: leading white space, one sign, decimal digits up to
// the first other character; no digits give 0. Saturates far beyond any accepted interval.
LONG parseIntervalText(const char *text);
BOOL isAcceptedInterval(LONG milliseconds);

INT_PTR CALLBACK settingsDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
