#include "host/ClassFactory.h"

#include "common/OpcDefs.h"
#include "common/Trace.h"
#include "host/Module.h"
#include "host/ServerLifetime.h"
#include "opc/OPCSrvr.h"

namespace {
CClassTableEntry g_vantrelClasses[] = {
    {&CLSID_OPCServer, 101, &COPCServer::CreateInstance, 0, true},
    {&CLSID_OPCTestServer, 102, &COPCServer::CreateInstance, 0, false},
    {nullptr, 0, nullptr, 0, false},
};
}  // namespace

CClassTableEntry* g_classTable = g_vantrelClasses;

STDMETHODIMP CClassFactory::QueryInterface(REFIID riid, void** ppv)
{
    HRESULT hr = E_NOINTERFACE;
    if (!ppv) {
        hr = E_POINTER;
    } else if (riid == IID_IUnknown || riid == IID_IClassFactory) {
        *ppv = static_cast<IClassFactory*>(this);
        AddRef();
        hr = S_OK;
    } else {
        *ppv = nullptr;
    }
    TraceQueryInterface(L"CComClassFactory", riid, hr);
    return hr;
}

STDMETHODIMP_(ULONG) CClassFactory::AddRef() { return InterlockedIncrement(&m_cRef); }

STDMETHODIMP_(ULONG) CClassFactory::Release()
{
    LONG count = InterlockedDecrement(&m_cRef);
    if (count == 0)
        delete this;
    return count;
}

STDMETHODIMP CClassFactory::CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppvObject)
{
    if (!ppvObject)
        return E_POINTER;
    *ppvObject = nullptr;
    if (pUnkOuter && riid != IID_IUnknown)
        return CLASS_E_NOAGGREGATION;
    // The creation counts in the process lock from before the decision to
    // end can see it until the object counts for itself.
    HRESULT hr = BeginActivation();
    if (FAILED(hr))
        return hr;
    hr = m_maker(pUnkOuter, riid, ppvObject);
    EndActivation();
    return hr;
}

STDMETHODIMP CClassFactory::LockServer(BOOL fLock)
{
    // A lock counts like a creation (the decision to end sees it); once the
    // process is ending it is counted all the same, for the unlock to come.
    if (!fLock)
        UnlockModule();
    else if (FAILED(BeginActivation()))
        LockModule();
    return S_OK;
}
