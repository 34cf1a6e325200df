// Stands for a running player in the installer's test: a hidden window of the player's class,
// which is what setup and the uninstaller look for. Prints "ready" once the window exists, then
// stays until killed, or 30 s at most so that a failed test leaves nothing running.
#include <windows.h>

#include <stdio.h>

enum { LIFETIME_MS = 30000 };

int main()
{
    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = DefWindowProcA;
    windowClass.hInstance = GetModuleHandleA(NULL);
    windowClass.lpszClassName = "Winamp v1.x";
    if (RegisterClassA(&windowClass) == 0 ||
        CreateWindowA(windowClass.lpszClassName, "", WS_POPUP, 0, 0, 0, 0, NULL, NULL, windowClass.hInstance, NULL) == NULL) {
        fputs("running_player_window: cannot create the window; start a display first\n", stderr);
        return 1;
    }
    puts("ready");
    fflush(stdout);
    // Messages are served while waiting, so that a broadcast to every window never hangs here.
    (void)SetTimer(NULL, 0, LIFETIME_MS, NULL);
    MSG message;
    while (GetMessageA(&message, NULL, 0, 0) > 0 && message.message != WM_TIMER)
        DispatchMessageA(&message);
    return 0;
}
