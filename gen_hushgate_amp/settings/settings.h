// The settings on disk (plugin.ini beside the module) and the dialog that edits them.
// loadSettings runs in init; saveSettings and the dialog run on the player's window thread.
#pragma once
#include <windows.h>

// FALSE when no trustworthy path exists (a module path cut short or too long to take the
// file name): then nothing is read or written.
BOOL settingsFilePath(char (&path)[MAX_PATH]);
void loadSettings(void);
// FALSE when any key could not be written (a folder without write access, no usable path).
BOOL saveSettings(void);

// What the interval box's text reads as: leading white space, one sign, decimal digits up to
// the first other character; no digits give 0. Saturates far beyond any accepted interval.
LONG parseIntervalText(const char *text);
BOOL isAcceptedInterval(LONG milliseconds);

INT_PTR CALLBACK settingsDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
