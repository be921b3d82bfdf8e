// The lock of the generator bank and of the item value cache: recursive for
// its owner. A critical section: under Wine every wait on a kernel mutex is a
// round trip to the wine server, and the device pass takes two of these locks
// per active item every 10 ms (see bench/ for the measurement).
#pragma once
#include <windows.h>

#include "core/Locks.h"

class CDeviceLock {
public:
    CDeviceLock() { InitializeCriticalSectionAndSpinCount(&m_cs, 1000); }
    ~CDeviceLock() { DeleteCriticalSection(&m_cs); }
    CDeviceLock(const CDeviceLock&) = delete;
    CDeviceLock& operator=(const CDeviceLock&) = delete;
    void Lock() { EnterCriticalSection(&m_cs); }
    void Unlock() { LeaveCriticalSection(&m_cs); }

private:
    CRITICAL_SECTION m_cs;
};

// The same contract on a Win32 mutex (kept for the benchmark's comparison).
class CMutexDeviceLock {
public:
    CMutexDeviceLock() : m_h(CreateMutexW(nullptr, FALSE, nullptr)) {}
    ~CMutexDeviceLock() { CloseHandle(m_h); }
    CMutexDeviceLock(const CMutexDeviceLock&) = delete;
    CMutexDeviceLock& operator=(const CMutexDeviceLock&) = delete;
    void Lock() { WaitForSingleObject(m_h, INFINITE); }
    void Unlock() { ReleaseMutex(m_h); }

private:
    HANDLE m_h;
};

using CDeviceLockHold = CLockGuard<CDeviceLock>;
