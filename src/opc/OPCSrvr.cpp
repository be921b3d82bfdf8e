#include "opc/OPCSrvr.h"

#include "common/ComUtil.h"
#include "common/Trace.h"
#include "host/Module.h"

#include <cwchar>

namespace {
const wchar_t kTraceName[] = L"COPCServer";
}

// The aggregate: the creator gets its non-delegating IUnknown; the server
// object inside passes everything on to the outer unknown.
class CServerAggregate final : public IUnknown {
public:
    explicit CServerAggregate(IUnknown* pUnkOuter) : m_server(new COPCServer(pUnkOuter)) {}
    virtual ~CServerAggregate() = default;

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        HRESULT hr;
        if (!ppv) {
            hr = E_POINTER;
        } else if (riid == IID_IUnknown) {
            *ppv = static_cast<IUnknown*>(this);
            AddRef();
            hr = S_OK;
        } else {
            hr = m_server->InternalQueryInterface(riid, ppv);
        }
        TraceQueryInterface(kTraceName, riid, hr);
        return hr;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&m_cRef); }
    STDMETHODIMP_(ULONG) Release() override
    {
        LONG count = InterlockedDecrement(&m_cRef);
        if (count == 0) {
            m_cRef = 1;
            m_server->OnLastRelease();
            UnlockModule();
            delete m_server;
            delete this;
        }
        return count;
    }
    COPCServer* server() { return m_server; }

private:
    LONG m_cRef = 0;
    COPCServer* m_server;
};

COPCServer::COPCServer(IUnknown* pUnkOuter) : m_pUnkOuter(pUnkOuter) { LockModule(); }

COPCServer::~COPCServer() { DebugTrace(L"COPCServer destructing\n"); }

HRESULT COPCServer::CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppv)
{
    if (!pUnkOuter) {
        COPCServer* p = new (std::nothrow) COPCServer(nullptr);
        if (!p)
            return E_OUTOFMEMORY;
        HRESULT hr = p->OnCreate();
        if (hr == S_OK)
            hr = p->QueryInterface(riid, ppv);
        if (hr != S_OK) {
            // The normal destruction sequence, so OnLastRelease runs even
            // after a failed OnCreate.
            p->m_cRef = 1;
            p->OnLastRelease();
            UnlockModule();
            delete p;
        }
        return hr;
    }
    CServerAggregate* agg = nullptr;
    try {
        agg = new CServerAggregate(pUnkOuter);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    HRESULT hr = agg->server()->OnCreate();
    if (hr == S_OK)
        hr = agg->QueryInterface(riid, ppv);
    if (hr != S_OK) {
        agg->AddRef();
        agg->Release();  // destroys it through the normal sequence
    }
    return hr;
}

HRESULT COPCServer::InternalQueryInterface(REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (riid == IID_IUnknown || riid == IID_IOPCServer) {
        *ppv = static_cast<IOPCServer*>(this);
        AddRef();
        return S_OK;
    }
    return E_NOINTERFACE;
}

STDMETHODIMP COPCServer::QueryInterface(REFIID riid, void** ppv)
{
    if (m_pUnkOuter)
        return m_pUnkOuter->QueryInterface(riid, ppv);
    HRESULT hr = InternalQueryInterface(riid, ppv);
    TraceQueryInterface(kTraceName, riid, hr);
    return hr;
}

STDMETHODIMP_(ULONG) COPCServer::AddRef()
{
    if (m_pUnkOuter)
        return m_pUnkOuter->AddRef();
    LONG count = InterlockedIncrement(&m_cRef);
    TraceAddRef(kTraceName, this, count);
    return count;
}

STDMETHODIMP_(ULONG) COPCServer::Release()
{
    if (m_pUnkOuter)
        return m_pUnkOuter->Release();
    LONG count = InterlockedDecrement(&m_cRef);
    TraceRelease(kTraceName, this, count);
    if (count == 0) {
        m_cRef = 1;  // references taken while tearing down must not destroy twice
        OnLastRelease();
        UnlockModule();
        delete this;
    }
    return count;
}

HRESULT COPCServer::OnCreate()
{
    GetSystemTimeAsFileTime(&m_ftStartTime);
    return S_OK;
}

void COPCServer::OnLastRelease() {}

STDMETHODIMP COPCServer::AddGroup(LPCWSTR, BOOL, DWORD, OPCHANDLE, LONG*, FLOAT*, DWORD, OPCHANDLE*,
                                  DWORD*, REFIID, LPUNKNOWN*)
{
    return E_NOTIMPL;
}

STDMETHODIMP COPCServer::GetErrorString(HRESULT dwError, LCID dwLocale, LPWSTR* ppString)
{
    if (!IsWritableOut(ppString))
        return E_INVALIDARG;
    *ppString = nullptr;
    return ComBoundary([&]() -> HRESULT {
        wchar_t* text = nullptr;
        DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_FROM_HMODULE |
                                     FORMAT_MESSAGE_ALLOCATE_BUFFER,
                                 g_module.m_hInstance ? g_module.m_hInstance : GetModuleHandleW(nullptr),
                                 static_cast<DWORD>(dwError), LANGIDFROMLCID(dwLocale),
                                 reinterpret_cast<wchar_t*>(&text), 256, nullptr);
        if (n == 0 || !text)
            return E_FAIL;
        wchar_t* copy = TaskMemStrDup(text);
        LocalFree(text);
        if (!copy)
            return E_OUTOFMEMORY;
        *ppString = copy;
        return S_OK;
    });
}

STDMETHODIMP COPCServer::GetGroupByName(LPCWSTR, REFIID, LPUNKNOWN*) { return E_NOTIMPL; }

STDMETHODIMP COPCServer::GetStatus(OPCSERVERSTATUS** ppServerStatus)
{
    CCsLock lock(m_csServer);
    if (!IsWritableOut(ppServerStatus))
        return E_INVALIDARG;
    *ppServerStatus = nullptr;
    return ComBoundary([&]() -> HRESULT {
        CTaskMem<OPCSERVERSTATUS> status;
        if (!status.AllocateBytes(sizeof(OPCSERVERSTATUS)))
            return E_OUTOFMEMORY;
        memset(status.get(), 0, sizeof(OPCSERVERSTATUS));
        OPCSERVERSTATUS& s = *status.get();
        s.ftStartTime = m_ftStartTime;
        GetSystemTimeAsFileTime(&s.ftCurrentTime);
        s.ftLastUpdateTime = m_ftLastUpdateTime;
        s.dwServerState = OPC_STATUS_RUNNING;
        s.dwGroupCount = m_dwGroupCount;
        s.dwBandWidth = 0xFFFFFFFF;
        s.wMajorVersion = 1;
        s.wMinorVersion = 0;
        s.wBuildNumber = 0;
        s.wReserved = 0;
        s.szVendorInfo = TaskMemStrDup(VANTREL_VENDOR);
        if (!s.szVendorInfo)
            return E_OUTOFMEMORY;
        *ppServerStatus = status.Detach();
        return S_OK;
    });
}

STDMETHODIMP COPCServer::RemoveGroup(OPCHANDLE, BOOL) { return E_NOTIMPL; }

STDMETHODIMP COPCServer::CreateGroupEnumerator(OPCENUMSCOPE, REFIID, LPUNKNOWN*) { return E_NOTIMPL; }
