// The process lock that keeps the server process alive, and the module record.
#pragma once
#include <windows.h>

struct CModule {
    volatile LONG m_nLockCount = 0;
    DWORD m_dwThreadID = 0;   // main thread: runs the message loop, gets WM_QUIT
    HINSTANCE m_hInstance = nullptr;
};
extern CModule g_module;

// Every COM object of the server calls LockModule when it is built and
// UnlockModule when it goes; LockServer does the same. Each fall to 0 posts
// one WM_QUIT to the main thread, which then decides whether the process ends
// (host/ServerLifetime.h).
LONG LockModule();
LONG UnlockModule();
