// Lock classes.
#pragma once
#include <windows.h>

class CSyncObject {
public:
    virtual ~CSyncObject() = default;
    virtual BOOL Lock(DWORD dwTimeout = INFINITE) = 0;
    virtual BOOL Unlock() = 0;
};

// A Win32 critical section: recursive for its owner; the time-out is ignored.
class CCriticalSection : public CSyncObject {
public:
    CCriticalSection() { InitializeCriticalSection(&m_cs); }
    ~CCriticalSection() override { DeleteCriticalSection(&m_cs); }
    CCriticalSection(const CCriticalSection&) = delete;
    CCriticalSection& operator=(const CCriticalSection&) = delete;
    BOOL Lock(DWORD /*dwTimeout*/ = INFINITE) override
    {
        EnterCriticalSection(&m_cs);
        return 1;
    }
    BOOL Unlock() override
    {
        LeaveCriticalSection(&m_cs);
        return 1;
    }
    CRITICAL_SECTION* native() { return &m_cs; }

private:
    CRITICAL_SECTION m_cs;
};

// Holds a lock for a scope.
template <class L>
class CLockGuard {
public:
    explicit CLockGuard(L& lock) : m_lock(lock) { m_lock.Lock(); }
    ~CLockGuard() { m_lock.Unlock(); }
    CLockGuard(const CLockGuard&) = delete;
    CLockGuard& operator=(const CLockGuard&) = delete;

private:
    L& m_lock;
};
using CCsLock = CLockGuard<CCriticalSection>;
