// The programs a user listed as never a call, matched on the base name of a capturing
// process's image file, without case. Each entry is taken whole or not at all: a name that was
// cut, or one too long for a file name, matches nothing rather than something else.
#include "engine/ignored_programs.h"

IgnoredPrograms ignoredPrograms;

// Newer than Windows 2000 and looked up at run time; calls are followed only from Windows 7 on.
static const DWORD PROCESS_QUERY_NAME_ONLY = 0x1000;  // PROCESS_QUERY_LIMITED_INFORMATION
static const int EQUAL_STRINGS = 2;                    // CSTR_EQUAL
typedef BOOL(WINAPI *QueryImageName)(HANDLE, DWORD, LPWSTR, PDWORD);
typedef int(WINAPI *CompareOrdinal)(LPCWSTR, int, LPCWSTR, int, BOOL);

static FARPROC kernelExport(const char *name)
{
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    return kernel != NULL ? GetProcAddress(kernel, name) : NULL;
}

static void takeList(void)
{
    // Sleep(0) would leave a preempted holder of lower priority waiting behind this thread.
    while (InterlockedCompareExchange(&ignoredPrograms.busy, 1, 0) != 0)
        Sleep(1);
}

static void leaveList(void)
{
    InterlockedExchange(&ignoredPrograms.busy, 0);
}

static BOOL isSeparator(WCHAR c)
{
    return c == L';' || c == L'\xFF1B';  // a full-width one, as a Japanese input method types it
}

// From the separator before the position to the one after it, that one with it: a name that was
// cut there, whether at the end of the text or in its middle, matches nothing. A cut right after
// a separator, or before anything, cut no name.
void dropNameAt(WCHAR *list, int at)
{
    if (at == 0 || isSeparator(list[at - 1]))
        return;
    int start = at;
    while (start > 0 && !isSeparator(list[start - 1]))
        --start;
    int finish = at;
    while (list[finish] != L'\0' && !isSeparator(list[finish]))
        ++finish;
    if (list[finish] != L'\0')
        ++finish;
    // The rest moves down within the same buffer, which no copy routine promises to do.
    while ((list[start++] = list[finish++]) != L'\0') {
    }
}

// The programs met so far are judged again only when the list really changed.
void setIgnoredPrograms(const WCHAR *list, BOOL cut)
{
    WCHAR taken[IGNORE_LIST_SIZE];
    (void)lstrcpynW(taken, list, IGNORE_LIST_SIZE);
    if (cut)
        dropNameAt(taken, lstrlenW(taken));
    takeList();
    BOOL changed = lstrcmpW(taken, ignoredPrograms.list) != 0;
    (void)lstrcpyW(ignoredPrograms.list, taken);
    if (changed)
        InterlockedIncrement(&ignoredPrograms.version);
    leaveList();
}

static BOOL holdsListForPoll(void)
{
    return ignoredPrograms.holdingThread == GetCurrentThreadId();
}

void copyIgnoredPrograms(WCHAR (&list)[IGNORE_LIST_SIZE])
{
    if (holdsListForPoll()) {
        (void)lstrcpynW(list, ignoredPrograms.heldList, IGNORE_LIST_SIZE);
        return;
    }
    takeList();
    (void)lstrcpynW(list, ignoredPrograms.list, IGNORE_LIST_SIZE);
    leaveList();
}

LONG ignoredProgramsVersion(void)
{
    return holdsListForPoll() ? ignoredPrograms.heldVersion : ignoredPrograms.version;
}

// The version is read under the list's lock, so that it is the version of the list copied.
void holdIgnoredProgramsForPoll(void)
{
    takeList();
    (void)lstrcpynW(ignoredPrograms.heldList, ignoredPrograms.list, IGNORE_LIST_SIZE);
    ignoredPrograms.heldVersion = ignoredPrograms.version;
    leaveList();
    ignoredPrograms.holdingThread = GetCurrentThreadId();
}

void releaseIgnoredProgramsAfterPoll(void)
{
    ignoredPrograms.holdingThread = 0;
}

static const WCHAR *baseName(const WCHAR *start, const WCHAR *end)
{
    for (const WCHAR *at = start; at < end; ++at) {
        if (*at == L'\\' || *at == L'/' || *at == L':')
            start = at + 1;
    }
    return start;
}

// The ideographic and the no-break space as well: pasted from a page or typed with an input
// method, they look like any other.
static BOOL isBlank(WCHAR c)
{
    return c == L' ' || c == L'\t' || c == L'\x3000' || c == L'\xA0';
}

// One entry between two separators: blanks and one pair of quotes around it go, and a path
// counts by its last part. Wildcards are plain characters. FALSE when nothing is left, or more
// than a file name can hold.
static BOOL entryName(const WCHAR *start, const WCHAR *end, WCHAR (&name)[MAX_PATH])
{
    while (start < end && isBlank(*start))
        ++start;
    while (end > start && isBlank(end[-1]))
        --end;
    if (start < end && *start == L'"')
        ++start;
    if (end > start && end[-1] == L'"')
        --end;
    start = baseName(start, end);
    while (start < end && isBlank(*start))
        ++start;
    while (end > start && isBlank(end[-1]))
        --end;
    if (start == end || end - start >= MAX_PATH)
        return FALSE;
    (void)lstrcpynW(name, start, (int)(end - start) + 1);
    return TRUE;
}

// Code unit by code unit after case folding, whatever the user's locale; Windows 2000 and XP
// lack the ordinal comparison. Both lengths are below MAX_PATH.
static BOOL sameText(const WCHAR *one, int oneLength, const WCHAR *other, int otherLength)
{
    CompareOrdinal compare = (CompareOrdinal)(void *)kernelExport("CompareStringOrdinal");
    if (compare != NULL)
        return compare(one, oneLength, other, otherLength, TRUE) == EQUAL_STRINGS;
    if (oneLength != otherLength)
        return FALSE;
    WCHAR first[MAX_PATH], second[MAX_PATH];
    (void)lstrcpynW(first, one, oneLength + 1);
    (void)lstrcpynW(second, other, otherLength + 1);
    return lstrcmpiW(first, second) == 0;
}

static BOOL hasDot(const WCHAR *name)
{
    for (; *name != L'\0'; ++name) {
        if (*name == L'.')
            return TRUE;
    }
    return FALSE;
}

// An entry with no dot names the program as a user says it: "obs64" is obs64.exe.
static BOOL namesProgram(const WCHAR *entry, const WCHAR *program)
{
    int entryLength = lstrlenW(entry), programLength = lstrlenW(program);
    if (sameText(entry, entryLength, program, programLength))
        return TRUE;
    static const WCHAR extension[] = L".exe";
    int stemLength = programLength - (int)(ARRAYSIZE(extension) - 1);
    int extensionLength = ARRAYSIZE(extension) - 1;
    return !hasDot(entry) && stemLength > 0 &&
           sameText(program + stemLength, extensionLength, extension, extensionLength) &&
           sameText(entry, entryLength, program, stemLength);
}

BOOL isIgnoredProgramName(const WCHAR *program)
{
    WCHAR list[IGNORE_LIST_SIZE];
    copyIgnoredPrograms(list);
    for (const WCHAR *start = list;;) {
        const WCHAR *end = start;
        while (*end != L'\0' && !isSeparator(*end))
            ++end;
        WCHAR name[MAX_PATH];
        if (entryName(start, end, name) && namesProgram(name, program))
            return TRUE;
        if (*end == L'\0')
            return FALSE;
        start = end + 1;
    }
}

static ULONGLONG creationTimeOf(HANDLE process)
{
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(process, &created, &exited, &kernel, &user))
        return 0;
    return ((ULONGLONG)created.dwHighDateTime << 32) | created.dwLowDateTime;
}

ULONGLONG processCreationTime(DWORD processId)
{
    HANDLE process = OpenProcess(PROCESS_QUERY_NAME_ONLY, FALSE, processId);
    if (process == NULL)
        return 0;
    ULONGLONG created = creationTimeOf(process);
    (void)CloseHandle(process);
    return created;
}

static BOOL readProgramName(DWORD processId, ULONGLONG createdAt, WCHAR (&name)[MAX_PATH])
{
    QueryImageName query = (QueryImageName)(void *)kernelExport("QueryFullProcessImageNameW");
    if (query == NULL)
        return FALSE;
    HANDLE process = OpenProcess(PROCESS_QUERY_NAME_ONLY, FALSE, processId);
    if (process == NULL)
        return FALSE;
    WCHAR path[MAX_PATH];
    DWORD length = MAX_PATH;
    // Another process on the id is not the program met: its name says nothing of that one.
    BOOL read = (createdAt == 0 || creationTimeOf(process) == createdAt) && query(process, 0, path, &length) &&
                length > 0 && length < MAX_PATH;
    (void)CloseHandle(process);
    if (!read)
        return FALSE;
    path[length] = L'\0';
    (void)lstrcpynW(name, baseName(path, path + length), MAX_PATH);
    return name[0] != L'\0';
}

BOOL isIgnoredProcess(DWORD processId, ULONGLONG createdAt)
{
    // The list the poll holds, as isIgnoredProgramName reads it: an empty one opens no process.
    const WCHAR *list = holdsListForPoll() ? ignoredPrograms.heldList : ignoredPrograms.list;
    if (list[0] == L'\0')
        return FALSE;
    WCHAR program[MAX_PATH];
    return readProgramName(processId, createdAt, program) && isIgnoredProgramName(program);
}
