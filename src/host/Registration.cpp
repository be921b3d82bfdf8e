#include "host/Registration.h"

#include "common/ComUtil.h"
#include "common/Trace.h"
#include "host/ClassFactory.h"

#include <objbase.h>
#include <oleauto.h>

#include <cwchar>

CommandLineAction ScanCommandLine(const wchar_t* commandLine)
{
    if (!commandLine)
        return CommandLineAction::Serve;
    const wchar_t* p = commandLine;
    while (*p) {
        p = wcspbrk(p, L"-/");
        if (!p)
            break;
        const wchar_t* token = p + 1;
        if (lstrcmpiW(token, L"UnregServer") == 0)
            return CommandLineAction::UnregServer;
        if (lstrcmpiW(token, L"RegServer") == 0)
            return CommandLineAction::RegServer;
        p = token;
    }
    return CommandLineAction::Serve;
}

bool ScanEmbedding(const wchar_t* commandLine)
{
    for (const wchar_t* p = commandLine; p && (p = wcspbrk(p, L"-/")) != nullptr; ++p) {
        if (_wcsnicmp(p + 1, L"Embedding", 9) == 0 &&
            (p[10] == L'\0' || p[10] == L' '))
            return true;
    }
    return false;
}

// The component registrar of the platform (declared here: the system headers
// do not carry it). The interface must have external linkage: the object comes
// from another module, and the compiler may not assume it has no implementation.
struct IRegistrar;
namespace {
const CLSID CLSID_Registrar = {0x44ec053a, 0x400f, 0x11d0, {0x9d, 0xcd, 0x00, 0xa0, 0xc9, 0x03, 0x91, 0xd3}};
const IID IID_IRegistrar = {0x44ec053b, 0x400f, 0x11d0, {0x9d, 0xcd, 0x00, 0xa0, 0xc9, 0x03, 0x91, 0xd3}};
}  // namespace

struct IRegistrar : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE AddReplacement(LPCOLESTR key, LPCOLESTR item) = 0;
    virtual HRESULT STDMETHODCALLTYPE ClearReplacements() = 0;
    virtual HRESULT STDMETHODCALLTYPE ResourceRegisterSz(LPCOLESTR file, LPCOLESTR id, LPCOLESTR type) = 0;
    virtual HRESULT STDMETHODCALLTYPE ResourceUnregisterSz(LPCOLESTR file, LPCOLESTR id, LPCOLESTR type) = 0;
    virtual HRESULT STDMETHODCALLTYPE FileRegister(LPCOLESTR file) = 0;
    virtual HRESULT STDMETHODCALLTYPE FileUnregister(LPCOLESTR file) = 0;
    virtual HRESULT STDMETHODCALLTYPE StringRegister(LPCOLESTR data) = 0;
    virtual HRESULT STDMETHODCALLTYPE StringUnregister(LPCOLESTR data) = 0;
    virtual HRESULT STDMETHODCALLTYPE ResourceRegister(LPCOLESTR file, UINT id, LPCOLESTR type) = 0;
    virtual HRESULT STDMETHODCALLTYPE ResourceUnregister(LPCOLESTR file, UINT id, LPCOLESTR type) = 0;
};

HRESULT RunRegistryScript(HMODULE module, UINT nID, bool doRegister)
{
    IRegistrar* registrar = nullptr;
    HRESULT hr = CoCreateInstance(CLSID_Registrar, nullptr, CLSCTX_INPROC_SERVER, IID_IRegistrar,
                                  reinterpret_cast<void**>(&registrar));
    if (FAILED(hr))
        return hr;
    wchar_t path[MAX_PATH + 1] = L"";
    GetModuleFileNameW(module, path, MAX_PATH);
    hr = registrar->AddReplacement(L"Module", path);
    if (SUCCEEDED(hr)) {
        hr = doRegister ? registrar->ResourceRegister(path, nID, L"REGISTRY")
                        : registrar->ResourceUnregister(path, nID, L"REGISTRY");
    }
    registrar->Release();
    return hr;
}

HRESULT RegisterModuleTypeLib(HMODULE module)
{
    wchar_t path[MAX_PATH + 8] = L"";
    GetModuleFileNameW(module, path, MAX_PATH);
    ITypeLib* typeLib = nullptr;
    HRESULT hr = LoadTypeLib(path, &typeLib);
    if (FAILED(hr)) {
        // Replace the extension (from the last '.') with ".tlb", or append it.
        wchar_t* lastDot = nullptr;
        for (wchar_t* p = path; *p; p = CharNextW(p)) {
            if (*p == L'.')
                lastDot = p;
        }
        if (lastDot)
            *lastDot = L'\0';
        wcscat(path, L".tlb");
        hr = LoadTypeLib(path, &typeLib);
    }
    if (FAILED(hr))
        return hr;
    wchar_t helpDir[MAX_PATH + 8];
    wcscpy(helpDir, path);
    wchar_t* cut = nullptr;
    for (wchar_t* p = helpDir; *p; p = CharNextW(p)) {
        if (*p == L'\\' || *p == L'/' || *p == L':')
            cut = p;
    }
    if (cut)
        cut[1] = L'\0';
    hr = RegisterTypeLib(typeLib, path, helpDir);
    typeLib->Release();
    return hr;
}

HRESULT RegisterServer(HMODULE module)
{
    RunRegistryScript(module, 100, true);  // the application script's result is not looked at
    HRESULT hr = S_OK;
    for (CClassTableEntry* e = g_classTable; e->pclsid; ++e) {
        hr = RunRegistryScript(module, e->nRegistryResource, true);
        if (FAILED(hr))
            return hr;
    }
    return RegisterModuleTypeLib(module);
}

HRESULT UnregisterServer(HMODULE module)
{
    RunRegistryScript(module, 100, false);
    for (CClassTableEntry* e = g_classTable; e->pclsid; ++e)
        RunRegistryScript(module, e->nRegistryResource, false);
    return S_OK;
}
