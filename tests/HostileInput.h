// What the tests of hostile input need: a spy on task memory and a page
// that can be read and not written.
//
// The spy counts task memory allocated and not yet freed while it is
// registered (CoRegisterMallocSpy). Run with OANOCACHE=1, as CTest does:
// otherwise freed strings wait in OLE Automation's cache and count as live.
#pragma once
#include "core/Locks.h"

#include <objbase.h>
#include <set>

// Counts task memory allocated and freed while it is registered.
class CountingMallocSpy : public IMallocSpy {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (riid == IID_IUnknown || riid == IID_IMallocSpy) {
            *ppv = static_cast<IMallocSpy*>(this);
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP_(SIZE_T) PreAlloc(SIZE_T cbRequest) override { return cbRequest; }
    STDMETHODIMP_(void*) PostAlloc(void* pActual) override
    {
        if (pActual) {
            CCsLock lock(m_cs);
            m_live.insert(pActual);
        }
        return pActual;
    }
    STDMETHODIMP_(void*) PreFree(void* pRequest, BOOL fSpyed) override
    {
        if (fSpyed && pRequest) {
            CCsLock lock(m_cs);
            m_live.erase(pRequest);
        }
        return pRequest;
    }
    STDMETHODIMP_(void) PostFree(BOOL) override {}
    STDMETHODIMP_(SIZE_T) PreRealloc(void* pRequest, SIZE_T cbRequest, void** ppNewRequest, BOOL fSpyed) override
    {
        if (fSpyed && pRequest) {
            CCsLock lock(m_cs);
            m_live.erase(pRequest);
        }
        *ppNewRequest = pRequest;
        return cbRequest;
    }
    STDMETHODIMP_(void*) PostRealloc(void* pActual, BOOL fSpyed) override
    {
        if (fSpyed && pActual) {
            CCsLock lock(m_cs);
            m_live.insert(pActual);
        }
        return pActual;
    }
    STDMETHODIMP_(void*) PreGetSize(void* pRequest, BOOL) override { return pRequest; }
    STDMETHODIMP_(SIZE_T) PostGetSize(SIZE_T cbActual, BOOL) override { return cbActual; }
    STDMETHODIMP_(void*) PreDidAlloc(void* pRequest, BOOL) override { return pRequest; }
    STDMETHODIMP_(int) PostDidAlloc(void*, BOOL, int fActual) override { return fActual; }
    STDMETHODIMP_(void) PreHeapMinimize() override {}
    STDMETHODIMP_(void) PostHeapMinimize() override {}

    size_t Live()
    {
        CCsLock lock(m_cs);
        return m_live.size();
    }

private:
    CCriticalSection m_cs;
    std::set<void*> m_live;
};

// A page that can be read and not written.
struct ReadOnlyPage {
    void* page = VirtualAlloc(nullptr, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    ReadOnlyPage()
    {
        DWORD old;
        VirtualProtect(page, 4096, PAGE_READONLY, &old);
    }
    ~ReadOnlyPage() { VirtualFree(page, 0, MEM_RELEASE); }
    template <class T>
    T* as() { return static_cast<T*>(page); }
};
