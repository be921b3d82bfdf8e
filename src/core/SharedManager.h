// A process-wide manager shared by counted references: the first acquire
// makes it and starts its thread, the last release destroys it (which ends
// the thread). Both run under the manager's global lock.
#pragma once
#include <windows.h>

#include <new>

#include "core/Locks.h"

template <class T>
HRESULT AcquireShared(CCriticalSection& cs, T*& global, LONG& refs, T** out)
{
    CLockGuard<CCriticalSection> lock(cs);
    if (refs++ == 0) {
        T* manager = new (std::nothrow) T();
        if (!manager || !manager->Start()) {
            delete manager;
            refs = 0;
            *out = nullptr;
            return E_OUTOFMEMORY;
        }
        global = manager;
    }
    *out = global;
    return S_OK;
}

// The caller has checked that mine is the global manager.
template <class T>
void ReleaseShared(CCriticalSection& cs, T*& global, LONG& refs, T* mine)
{
    CLockGuard<CCriticalSection> lock(cs);
    if (!mine || mine != global)
        return;
    if (--refs <= 0) {
        refs = 0;
        delete global;
        global = nullptr;
    }
}
