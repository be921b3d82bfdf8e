// The class factory of the server class, and the class table.
#pragma once
#include <windows.h>
#include <objbase.h>

using InstanceMakerFn = HRESULT (*)(IUnknown* pUnkOuter, REFIID riid, void** ppv);

// IClassFactory over an instance maker. It does not count in the process lock:
// COM's registration holds it.
class CClassFactory : public IClassFactory {
public:
    explicit CClassFactory(InstanceMakerFn maker) : m_maker(maker) {}
    virtual ~CClassFactory() = default;

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;
    STDMETHODIMP CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppvObject) override;
    STDMETHODIMP LockServer(BOOL fLock) override;

private:
    LONG m_cRef = 0;
    InstanceMakerFn m_maker;
};

struct CClassTableEntry {
    const CLSID* pclsid;
    UINT nRegistryResource;     // "REGISTRY" script run to (un)register the class
    InstanceMakerFn pfnCreateInstance;
    DWORD dwRegister;           // cookie of CoRegisterClassObject
    bool bServed;               // registered with COM by this process
};

// One entry per creatable class, ending with an empty entry: the server's
// classes, unless another program of the project set its own before serving.
extern CClassTableEntry* g_classTable;
