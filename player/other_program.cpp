// Another program on the machine, for the stand-in player: a meeting app or a streaming tool
// whose audio sessions the simulated microphones hold. It only lives, under a file name of its
// own, until the player that started it ends: it is handed a handle of that player.
#include <windows.h>

#include <stdlib.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR commandLine, int)
{
    HANDLE player = (HANDLE)(DWORD_PTR)strtoul(commandLine, NULL, 10);
    if (player == NULL || WaitForSingleObject(player, INFINITE) != WAIT_OBJECT_0)
        return 1;
    (void)CloseHandle(player);
    return 0;
}
