#include "host/ClassFactory.h"

#include "common/OpcDefs.h"
#include "common/Trace.h"
#include "host/Module.h"
#include "opc/OPCSrvr.h"

CClassTableEntry g_classTable[] = {
    {&CLSID_OPCServer, 101, &COPCServer::CreateInstance, 0},
    {nullptr, 0, nullptr, 0},
};

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
    return m_maker(pUnkOuter, riid, ppvObject);
}

STDMETHODIMP CClassFactory::LockServer(BOOL fLock)
{
    if (fLock)
        LockModule();
    else
        UnlockModule();
    return S_OK;
}
