// An IOPCDataCallback of the tests: keeps every data change it receives,
// answers with `answer`, and runs onData (a call back into the server, say)
// inside OnDataChange.
#pragma once
#include "common/OpcDefs.h"

#include <functional>
#include <mutex>
#include <vector>

class DataCallbackSpy : public IOPCDataCallback {
public:
    struct Change {
        DWORD transid;
        OPCHANDLE hGroup;
        HRESULT hrQuality, hrError;
        std::vector<OPCHANDLE> clients;
        std::vector<VARTYPE> types;
        std::vector<WORD> qualities;
    };

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
    STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&refs); }
    STDMETHODIMP_(ULONG) Release() override { return InterlockedDecrement(&refs); }
    STDMETHODIMP OnDataChange(DWORD dwTransid, OPCHANDLE hGroup, HRESULT hrMasterquality, HRESULT hrMastererror,
                              DWORD dwCount, OPCHANDLE* phClientItems, VARIANT* pvValues, WORD* pwQualities,
                              FILETIME*, HRESULT*) override
    {
        Change c{dwTransid, hGroup, hrMasterquality, hrMastererror, {}, {}, {}};
        for (DWORD i = 0; i < dwCount; ++i) {
            c.clients.push_back(phClientItems[i]);
            c.types.push_back(pvValues[i].vt);
            c.qualities.push_back(pwQualities[i]);
        }
        {
            std::lock_guard<std::mutex> lock(mutex);
            changes.push_back(std::move(c));
        }
        if (onData)
            onData();
        return answer;
    }
    STDMETHODIMP OnReadComplete(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD, OPCHANDLE*, VARIANT*, WORD*, FILETIME*,
                                HRESULT*) override
    {
        return S_OK;
    }
    STDMETHODIMP OnWriteComplete(DWORD, OPCHANDLE, HRESULT, DWORD, OPCHANDLE*, HRESULT*) override { return S_OK; }
    STDMETHODIMP OnCancelComplete(DWORD, OPCHANDLE) override { return S_OK; }

    size_t count()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return changes.size();
    }
    bool WaitFor(size_t n, DWORD timeoutMs = 5000)
    {
        for (DWORD start = GetTickCount(); GetTickCount() - start < timeoutMs; Sleep(2))
            if (count() >= n)
                return true;
        return count() >= n;
    }

    volatile LONG refs = 1;
    HRESULT answer = S_OK;
    std::function<void()> onData;
    std::mutex mutex;
    std::vector<Change> changes;
};
