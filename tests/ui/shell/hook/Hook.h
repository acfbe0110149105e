// Hook.h: the messages of TollgateHook.exe's test window (see HookMain.cpp).
#pragma once

#define HOOK_CLASS "TollgateTestHook"
#define WM_HOOK_TRAYSTATE (WM_APP + 1)
#define WM_HOOK_DROPLISTENER (WM_APP + 2)
#define WM_HOOK_SERVERRUNNING (WM_APP + 3)
#define WM_HOOK_DROPICON (WM_APP + 4)
#define WM_HOOK_ICONINTRAY (WM_APP + 5)
#define WM_HOOK_TRAYICONSIZE (WM_APP + 6)
#define WM_HOOK_OLEREADY (WM_APP + 7)
#define HOOK_STARTED 1
#define HOOK_STOPPED 2
