// Programs that are never a call (CALLIGNORE): a streaming tool recording all evening, a virtual
// mixer, a voice assistant. The list is set by the settings on the player's thread and asked by
// the call rule on the watch thread, once for each program that captures.
#pragma once
#include <windows.h>

// The list as the user wrote it: file names separated by ';'. The dialog takes two characters
// less, so that a value that fills the buffer can only be one cut short.
enum { IGNORE_LIST_SIZE = 1024 };

struct IgnoredPrograms {
    WCHAR list[IGNORE_LIST_SIZE];
    volatile LONG busy;     // held only to copy the list in or out, never across a platform call
    volatile LONG version;  // moves on at each change: programs already met are judged again
    // The polling thread's copy, taken with the settings as its poll begins: a poll judges on
    // the list of the set it began with.
    WCHAR heldList[IGNORE_LIST_SIZE];
    LONG heldVersion;
    volatile DWORD holdingThread;  // 0 between polls
};
extern IgnoredPrograms ignoredPrograms;

// cut: the text is the start of a longer value; its last name, maybe cut, is left out.
void setIgnoredPrograms(const WCHAR *list, BOOL cut);
// Leaves out the name the position falls in (0 to the length of the list).
void dropNameAt(WCHAR *list, int at);
// On the polling thread within a poll, the list held for it; anywhere else, the list set last.
void copyIgnoredPrograms(WCHAR (&list)[IGNORE_LIST_SIZE]);
LONG ignoredProgramsVersion(void);
void holdIgnoredProgramsForPoll(void);
void releaseIgnoredProgramsAfterPoll(void);
// A program's file name, without its folder, is on the list.
BOOL isIgnoredProgramName(const WCHAR *program);
// When the process was made: Windows hands the id of a process that ended to the next one, and
// the two differ here. 0 when it cannot be read (it ended, or Windows refuses).
ULONGLONG processCreationTime(DWORD processId);
// The image file name of the process made at createdAt (0: whatever process has the id) is on
// the list. A process whose name cannot be read, or that ended and left its id to another, is not.
BOOL isIgnoredProcess(DWORD processId, ULONGLONG createdAt);
