// An IOPCShutdown of the tests: keeps every reason, answers with `answer`,
// and runs onRequest (a call back into the server, say) inside the callback.
#pragma once
#include "common/OpcDefs.h"

#include <functional>
#include <string>
#include <vector>

class ShutdownSinkSpy : public IOPCShutdown {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (riid == IID_IUnknown || riid == IID_IOPCShutdown) {
            *ppv = static_cast<IOPCShutdown*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&refs); }
    STDMETHODIMP_(ULONG) Release() override { return InterlockedDecrement(&refs); }
    STDMETHODIMP ShutdownRequest(LPCWSTR szReason) override
    {
        reasons.push_back(szReason ? szReason : L"(null)");
        if (onRequest)
            onRequest();
        return answer;
    }

    volatile LONG refs = 1;
    HRESULT answer = S_OK;
    std::vector<std::wstring> reasons;
    std::function<void()> onRequest;
};
