// Hook.h: the messages of TollgateHook.exe's test window (see HookMain.cpp).
#pragma once

#define HOOK_CLASS "TollgateTestHook"
#define WM_HOOK_TRAYSTATE (WM_APP + 1)
#define WM_HOOK_DROPLISTENER (WM_APP + 2)
#define WM_HOOK_SERVERRUNNING (WM_APP + 3)
#define HOOK_STARTED 1
#define HOOK_STOPPED 2
