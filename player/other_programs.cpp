// The other programs' processes and their capture sessions, for the stand-in, its demo and the
// tests that need a program Windows can name.
#include "other_programs.h"

#include "plugin_loader.h"
#include "simulated_sessions.h"

struct OtherProgramRecord {
    const char *fileName;
    DWORD processId;  // 0 until started
    HANDLE process;   // kept, so that the end reaches this process and no other of a reused id
    LONG session;
};
static OtherProgramRecord otherPrograms[OTHER_PROGRAM_COUNT] = {
    {"meeting_app.exe", 0, NULL, NO_SESSION},
    {"stream_recorder.exe", 0, NULL, NO_SESSION},
};

const char *otherProgramFileName(OtherProgram program)
{
    return otherPrograms[program].fileName;
}

// Beside the running program, as in a player's folder; the test programs run one folder below.
static BOOL findProgramFile(const char *fileName, char (&path)[MAX_PATH])
{
    static const char *const folders[] = {"", "..\\"};
    char relative[MAX_PATH];
    for (const char *folder : folders) {
        wsprintfA(relative, "%s%s", folder, fileName);
        if (pathBesideProgram(path, relative) && GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES)
            return TRUE;
    }
    return FALSE;
}

BOOL startOtherProgram(OtherProgram program, char (&why)[OTHER_PROGRAM_MESSAGE_SIZE])
{
    OtherProgramRecord &record = otherPrograms[program];
    if (record.processId != 0)
        return TRUE;
    char path[MAX_PATH];
    if (!findProgramFile(record.fileName, path)) {
        wsprintfA(why, "%s is not beside the player: copy it there from the build folder", record.fileName);
        return FALSE;
    }
    // It waits on a handle of this process that it inherits, so it never outlives the player,
    // and never waits on another process that took a reused id. It is given no standard
    // handles; the other inheritable handles it gets go with it when the player ends.
    HANDLE player = NULL;
    if (!DuplicateHandle(GetCurrentProcess(), GetCurrentProcess(), GetCurrentProcess(), &player, SYNCHRONIZE, TRUE, 0)) {
        wsprintfA(why, "%s was not started: no handle of the player to give it (error %lu)", path, GetLastError());
        return FALSE;
    }
    char commandLine[MAX_PATH + 20];
    wsprintfA(commandLine, "\"%s\" %lu", path, (DWORD)(DWORD_PTR)player);
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    PROCESS_INFORMATION process = {};
    BOOL started = CreateProcessA(path, commandLine, NULL, NULL, TRUE, 0, NULL, NULL, &startup, &process);
    DWORD error = GetLastError();
    (void)CloseHandle(player);
    if (!started) {
        wsprintfA(why, "%s did not start (error %lu)", path, error);
        return FALSE;
    }
    (void)CloseHandle(process.hThread);
    record.process = process.hProcess;
    record.processId = process.dwProcessId;
    return TRUE;
}

DWORD otherProgramId(OtherProgram program)
{
    if (otherPrograms[program].processId != 0)
        return otherPrograms[program].processId;
    return GetCurrentProcessId() + 4 * (program + 1);
}

void endOtherPrograms(void)
{
    for (OtherProgramRecord &record : otherPrograms) {
        if (record.process != NULL) {
            (void)TerminateProcess(record.process, 0);
            (void)CloseHandle(record.process);
        }
        record.process = NULL;
        record.processId = 0;
    }
}

void startProgramCapture(OtherProgram program, LONG microphone)
{
    LONG &session = otherPrograms[program].session;
    // A session that ended (the sessions reset) or sits on another device is made afresh.
    if (simulatedSessionDevice(session) != microphone) {
        removeSimulatedSession(session);
        session = addSimulatedSession(microphone, otherProgramId(program), AudioSessionStateActive, FALSE);
        return;
    }
    setSimulatedSessionState(session, AudioSessionStateActive);
}

void stopProgramCapture(OtherProgram program)
{
    setSimulatedSessionState(otherPrograms[program].session, AudioSessionStateInactive);
}

BOOL programCapturing(OtherProgram program)
{
    return simulatedSessionState(otherPrograms[program].session) == AudioSessionStateActive;
}
