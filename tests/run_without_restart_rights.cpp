// Runs a program, for the installer's test, the way a standard user's account meets removals at
// the next restart: the Session Manager key, where Windows records them, can be read but not
// written. Wine gives every program an administrator's rights, so the key itself is made
// read-only meanwhile. Usage: run_without_restart_rights PROGRAM ARGS... Exits with the program's
// exit code, after giving the key back the security it had; 1 when the program could not be run.
#include <windows.h>

#include <stdio.h>

static const char SESSION_MANAGER_KEY[] = "System\\CurrentControlSet\\Control\\Session Manager";
enum { LIFETIME_MS = 60000 };

// Everyone may read; nobody is granted a write, so MoveFileEx cannot record a removal.
static bool makeReadOnly(HKEY key)
{
    BYTE everyone[SECURITY_MAX_SID_SIZE];
    DWORD everyoneSize = sizeof everyone;
    BYTE aclBuffer[128];
    ACL *acl = (ACL *)aclBuffer;
    SECURITY_DESCRIPTOR readOnly;
    return CreateWellKnownSid(WinWorldSid, NULL, everyone, &everyoneSize) &&
           InitializeAcl(acl, sizeof aclBuffer, ACL_REVISION) &&
           AddAccessAllowedAce(acl, ACL_REVISION, KEY_READ, everyone) &&
           InitializeSecurityDescriptor(&readOnly, SECURITY_DESCRIPTOR_REVISION) &&
           SetSecurityDescriptorDacl(&readOnly, TRUE, acl, FALSE) &&
           RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, &readOnly) == ERROR_SUCCESS;
}

// The command line after this program's own name, quoted as the caller quoted it.
static wchar_t *programCommandLine()
{
    wchar_t *rest = GetCommandLineW();
    bool quoted = false;
    for (; *rest != L'\0' && (quoted || *rest != L' '); ++rest)
        if (*rest == L'"')
            quoted = !quoted;
    while (*rest == L' ')
        ++rest;
    return rest;
}

static DWORD runToItsEnd(wchar_t *commandLine)
{
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    if (!CreateProcessW(NULL, commandLine, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process)) {
        fprintf(stderr, "run_without_restart_rights: cannot start the program (error %lu)\n", GetLastError());
        return 1;
    }
    DWORD exitCode = 1;
    if (WaitForSingleObject(process.hProcess, LIFETIME_MS) == WAIT_OBJECT_0)
        (void)GetExitCodeProcess(process.hProcess, &exitCode);
    else
        (void)TerminateProcess(process.hProcess, 1);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return exitCode;
}

int main()
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, SESSION_MANAGER_KEY, 0, READ_CONTROL | WRITE_DAC, &key) != ERROR_SUCCESS) {
        fputs("run_without_restart_rights: cannot open the Session Manager key\n", stderr);
        return 1;
    }
    BYTE original[1024];
    DWORD originalSize = sizeof original;
    if (RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, original, &originalSize) != ERROR_SUCCESS ||
        !makeReadOnly(key)) {
        fputs("run_without_restart_rights: cannot make the Session Manager key read-only\n", stderr);
        RegCloseKey(key);
        return 1;
    }
    DWORD exitCode = runToItsEnd(programCommandLine());
    // The handle was granted WRITE_DAC before the denial, so it can still give the security back.
    if (RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, original) != ERROR_SUCCESS) {
        fputs("run_without_restart_rights: cannot give the Session Manager key its security back\n", stderr);
        exitCode = 1;
    }
    RegCloseKey(key);
    return (int)exitCode;
}
