// Main.cpp: the entry point of Tollgate.exe.
#include <windows.h>

#include "ui/Shell.h"

int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE, LPSTR, int)
{
    return RunTollgate(hInstance);
}
