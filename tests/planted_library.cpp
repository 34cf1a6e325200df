// A file named like a system library, planted beside a test program: whatever loads it by its
// bare name finds this one first, where the loader searches the program's folder first.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID)
{
    return TRUE;
}
