// What the benchmark programs share: a clock, and a stream sink and a data
// callback that only count.
#pragma once
#include "common/OpcDefs.h"

#include <windows.h>
#include <objidl.h>

#include <atomic>
#include <cstring>

inline double NowUs()
{
    LARGE_INTEGER c, f;
    QueryPerformanceCounter(&c);
    QueryPerformanceFrequency(&f);
    return static_cast<double>(c.QuadPart) * 1e6 / static_cast<double>(f.QuadPart);
}

// Counts blocks and the items of data-change blocks (transaction id 0), and
// the completion blocks of asynchronous transactions.
class CountingSink : public IAdviseSink {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (riid == IID_IUnknown || riid == IID_IAdviseSink) {
            *ppv = static_cast<IAdviseSink*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP_(void) OnDataChange(FORMATETC*, STGMEDIUM* m) override
    {
        DWORD count = 0, tid = 0;
        const BYTE* p = static_cast<const BYTE*>(GlobalLock(m->hGlobal));
        if (p) {
            memcpy(&count, p + 4, 4);
            memcpy(&tid, p + 12, 4);
            GlobalUnlock(m->hGlobal);
        }
        if (tid == 0) {
            items += count;
            ++blocks;
        } else {
            ++completions;
        }
    }
    STDMETHODIMP_(void) OnViewChange(DWORD, LONG) override {}
    STDMETHODIMP_(void) OnRename(IMoniker*) override {}
    STDMETHODIMP_(void) OnSave() override {}
    STDMETHODIMP_(void) OnClose() override {}
    std::atomic<long> items{0};
    std::atomic<long> blocks{0};
    std::atomic<long> completions{0};  // blocks of asynchronous transactions
};

// Counts the data-change calls of an IOPCDataCallback and their items
// (transaction ID 0), and the completions.
class CountingCallback : public IOPCDataCallback {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (riid == IID_IUnknown || riid == IID_IOPCDataCallback) {
            *ppv = static_cast<IOPCDataCallback*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP OnDataChange(DWORD tid, OPCHANDLE, HRESULT, HRESULT, DWORD count, OPCHANDLE*, VARIANT*, WORD*,
                              FILETIME*, HRESULT*) override
    {
        if (tid == 0) {
            items += count;
            ++blocks;
        } else {
            ++completions;
        }
        return S_OK;
    }
    STDMETHODIMP OnReadComplete(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD, OPCHANDLE*, VARIANT*, WORD*, FILETIME*,
                                HRESULT*) override
    {
        ++completions;
        return S_OK;
    }
    STDMETHODIMP OnWriteComplete(DWORD, OPCHANDLE, HRESULT, DWORD, OPCHANDLE*, HRESULT*) override
    {
        ++completions;
        return S_OK;
    }
    STDMETHODIMP OnCancelComplete(DWORD, OPCHANDLE) override
    {
        ++completions;
        return S_OK;
    }
    std::atomic<long> items{0};
    std::atomic<long> blocks{0};
    std::atomic<long> completions{0};
};
