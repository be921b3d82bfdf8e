#include "opc/OPCSrvr.h"

#include "common/ComObject.h"
#include "common/ComUtil.h"
#include "common/OpcErrors.h"
#include "common/OPCGlob.h"
#include "common/Trace.h"
#include "core/AddrSpace.h"
#include "core/IdMgr.h"
#include "engine/AsyncIO.h"
#include "engine/ScanMgr.h"
#include "host/ClientWatch.h"
#include "VantrelVersion.h"
#include "host/Module.h"
#include "opc/Browse.h"
#include "opc/ComEnum.h"
#include "opc/OPCGroup.h"

#include <cwchar>
#include <memory>
#include <new>
#include <vector>

namespace {
const wchar_t kTraceName[] = L"COPCServer";
}

CCriticalSection COPCServer::m_csAddrSpace;
DWORD COPCServer::m_dwAddrSpaceRefs = 0;
CAddrSpace* COPCServer::m_pAddrSpace = nullptr;

namespace {
CCriticalSection g_csServers;
std::vector<COPCServer*> g_servers;
}  // namespace

void COPCServer::Enlist()
{
    CCsLock lock(g_csServers);
    g_servers.push_back(this);
}

void COPCServer::Unlist()
{
    CCsLock lock(g_csServers);
    for (auto it = g_servers.begin(); it != g_servers.end(); ++it) {
        if (*it == this) {
            g_servers.erase(it);
            break;
        }
    }
}

void COPCServer::RequestShutdownOfAll(LPCWSTR reason)
{
    std::vector<COPCServer*> held;
    {
        CCsLock lock(g_csServers);
        for (COPCServer* s : g_servers)
            if (s->m_refs.TryIncrement(kTraceName, s))
                held.push_back(s);
    }
    for (COPCServer* s : held) {
        s->RequestShutdown(reason);
        s->Release();
    }
}

CAddrSpace* COPCServer::AddressSpace()
{
    CCsLock lock(m_csAddrSpace);
    return m_pAddrSpace;
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

COPCServer::COPCServer(IUnknown* pUnkOuter)
    : m_pUnkOuter(pUnkOuter), m_cpShutdown(this, static_cast<IOPCServer*>(this), IID_IOPCShutdown, 0)
{
    LockModule();
    if (!pUnkOuter) {
        TrackClientObject(static_cast<IOPCServer*>(this), &m_refs, kTraceName);
        Enlist();
    }
}

COPCServer::~COPCServer()
{
    UntrackClientObject(static_cast<IOPCServer*>(this));
    UntrackClientObject(static_cast<IConnectionPoint*>(&m_cpShutdown));
    Unlist();
    DebugTrace(L"COPCServer destructing\n");
}

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
            UntrackClientObject(static_cast<IOPCServer*>(p));
            UntrackClientObject(static_cast<IConnectionPoint*>(&p->m_cpShutdown));
            p->Unlist();
            p->m_refs.m_count = 1;
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
    if (riid == IID_IOPCCommon) {
        *ppv = static_cast<IOPCCommon*>(this);
        AddRef();
        return S_OK;
    }
    if (riid == IID_IConnectionPointContainer) {
        *ppv = static_cast<IConnectionPointContainer*>(this);
        AddRef();
        return S_OK;
    }
    if (riid == IID_IOPCItemProperties) {
        *ppv = static_cast<IOPCItemProperties*>(this);
        AddRef();
        return S_OK;
    }
    if (riid == IID_IOPCBrowse) {
        *ppv = static_cast<IOPCBrowse*>(this);
        AddRef();
        return S_OK;
    }
    if (riid == IID_IOPCItemIO) {
        *ppv = static_cast<IOPCItemIO*>(this);
        AddRef();
        return S_OK;
    }
    if (riid == IID_IOPCBrowseServerAddressSpace)
        return COPCBrowseServerAddressSpace::Create(static_cast<IOPCServer*>(this), AddressSpace(), riid, ppv);
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
    return m_refs.Increment(kTraceName, this);
}

STDMETHODIMP_(ULONG) COPCServer::Release()
{
    if (m_pUnkOuter)
        return m_pUnkOuter->Release();
    LONG count = m_refs.Decrement(kTraceName, this);
    if (count == 0) {
        UntrackClientObject(static_cast<IOPCServer*>(this));  // before the count is raised again
        UntrackClientObject(static_cast<IConnectionPoint*>(&m_cpShutdown));
        Unlist();
        m_refs.m_count = 1;  // references taken while tearing down must not destroy twice
        OnLastRelease();
        UnlockModule();
        delete this;
    }
    return count;
}

HRESULT COPCServer::OnCreate()
{
    HRESULT hrSpace = S_OK;
    {
        CCsLock lock(m_csAddrSpace);
        if (m_dwAddrSpaceRefs++ == 0) {
            VANTREL_ASSERT(NULL == m_pAddrSpace);
            hrSpace = pfnBuildAddressSpace(&m_pAddrSpace);
        }
    }
    m_bSharesTaken = true;
    HRESULT hrScan = AcquireUpdateScanMgr(&m_pUpdateScanMgr);
    HRESULT hr = AcquireAsyncIOMgr(&m_pAsyncIOMgr);
    GetSystemTimeAsFileTime(&m_ftStartTime);
    // A component that cannot be made fails the creation.
    if (FAILED(hrSpace))
        return hrSpace;
    if (FAILED(hrScan))
        return hrScan;
    return hr;
}

void COPCServer::OnLastRelease()
{
    m_cpShutdown.UnadviseAll();
    if (!m_bSharesTaken)
        return;
    m_bSharesTaken = false;
    {
        CCsLock lock(m_csAddrSpace);
        if (m_dwAddrSpaceRefs > 0 && --m_dwAddrSpaceRefs == 0) {
            delete m_pAddrSpace;
            m_pAddrSpace = nullptr;
        }
    }
    {
        std::vector<OPCHANDLE> handles;
        {
            CCsLock lock(m_csServer);
            CCsLock groups(m_csGroups);
            for (auto& entry : m_groupsByHandle)
                handles.push_back(entry.first);
        }
        for (OPCHANDLE h : handles)
            RemoveGroup(h, TRUE);
    }
    if (m_pUpdateScanMgr)
        ReleaseUpdateScanMgr(m_pUpdateScanMgr);
    if (m_pAsyncIOMgr)
        ReleaseAsyncIOMgr(m_pAsyncIOMgr);
    m_pUpdateScanMgr = nullptr;
    m_pAsyncIOMgr = nullptr;
}

void COPCServer::RecordLastUpdateTime()
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    m_ftLastUpdateTime.store((static_cast<unsigned long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime);
}

HRESULT COPCServer::RenameGroup(COPCGroup* pGroup, const std::wstring& oldName, const std::wstring& newName)
{
    CCsLock lock(m_csGroups);
    if (m_groupsByName.count(newName))
        return OPC_E_DUPLICATENAME;
    if (!oldName.empty()) {
        auto it = m_groupsByName.find(oldName);
        if (it == m_groupsByName.end() || it->second != pGroup)
            return E_FAIL;
        m_groupsByName.erase(it);
    }
    m_groupsByName.emplace(newName, pGroup);
    pGroup->m_strName = newName;
    return S_OK;
}

STDMETHODIMP COPCServer::AddGroup(LPCWSTR szName, BOOL bActive, DWORD dwRequestedUpdateRate,
                                  OPCHANDLE hClientGroup, LONG* pTimeBias, FLOAT* pPercentDeadband, DWORD dwLCID,
                                  OPCHANDLE* phServerGroup, DWORD* pRevisedUpdateRate, REFIID riid,
                                  LPUNKNOWN* ppUnk)
{
    CCsLock lock(m_csServer);
    if (!IsWritableOut(phServerGroup) || !IsWritableOut(pRevisedUpdateRate) || !IsWritableOut(ppUnk))
        return E_INVALIDARG;
    *ppUnk = nullptr;
    *phServerGroup = 0;
    return ComBoundary([&]() -> HRESULT {
        std::wstring name;
        unsigned long nameId = 0;
        if (szName && *szName) {
            name = szName;
            CCsLock groups(m_csGroups);
            if (m_groupsByName.count(name))
                return OPC_E_DUPLICATENAME;
        } else {
            wchar_t buffer[32];
            name = MakeDefaultGroupName(buffer, &nameId);
        }
        *pRevisedUpdateRate = dwRequestedUpdateRate;

        COPCGroup* group = new (std::nothrow) COPCGroup();
        if (!group) {
            if (nameId)
                g_idMgr.ReleaseId(nameId);
            return E_OUTOFMEMORY;
        }
        group->AddRef();  // becomes the server's reference at the end
        group->SetServer(this);
        const OPCHANDLE hServer = group->GetServerHandle();

        auto undo = [&](HRESULT code) {
            {
                CCsLock groups(m_csGroups);
                auto byName = m_groupsByName.find(group->m_strName);
                if (byName != m_groupsByName.end() && byName->second == group)
                    m_groupsByName.erase(byName);
                auto byHandle = m_groupsByHandle.find(hServer);
                if (byHandle != m_groupsByHandle.end() && byHandle->second == group)
                    m_groupsByHandle.erase(byHandle);
            }
            // Nothing handed out may refer to the group that goes now.
            if (*ppUnk) {
                (*ppUnk)->Release();
                *ppUnk = nullptr;
            }
            *phServerGroup = 0;
            group->BeginRemoval();  // nothing of it is queued or scanned yet
            group->FinishRemoval(TRUE);
            return code;
        };

        HRESULT hr = group->Rename(name, nameId);
        if (FAILED(hr))
            return undo(hr);
        hr = group->QueryInterface(riid, reinterpret_cast<void**>(ppUnk));
        if (FAILED(hr))
            return undo(hr);
        {
            CCsLock groups(m_csGroups);
            if (!m_groupsByHandle.emplace(hServer, group).second)
                return undo(E_FAIL);
        }
        *phServerGroup = hServer;
        DWORD rate = dwRequestedUpdateRate;
        BOOL active = bActive;
        DWORD lcid = dwLCID;
        OPCHANDLE client = hClientGroup;
        hr = group->SetState(&rate, pRevisedUpdateRate, &active, pTimeBias, pPercentDeadband, &lcid, &client);
        if (FAILED(hr))
            return undo(hr);
        ++m_dwGroupCount;
        return hr;
    });
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
        if (n == 0 || !text) {
            const std::wstring own = g_bOpcTextsInServerErrorString ? ResultCodeText(dwError, LANGIDFROMLCID(dwLocale))
                                                                    : std::wstring();
            if (own.empty())
                return E_FAIL;
            *ppString = TaskMemStrDup(own.c_str());
            return *ppString ? S_OK : E_OUTOFMEMORY;
        }
        wchar_t* copy = TaskMemStrDup(text);
        LocalFree(text);
        if (!copy)
            return E_OUTOFMEMORY;
        *ppString = copy;
        return S_OK;
    });
}

STDMETHODIMP COPCServer::GetGroupByName(LPCWSTR szName, REFIID riid, LPUNKNOWN* ppUnk)
{
    if (!IsWritableOut(ppUnk))
        return E_INVALIDARG;
    *ppUnk = nullptr;
    if (!szName)
        return E_INVALIDARG;
    COPCGroup* group = nullptr;
    {
        CCsLock lock(m_csGroups);
        auto it = m_groupsByName.find(szName);
        if (it == m_groupsByName.end())
            return E_FAIL;
        group = it->second;
        group->AddRef();  // keeps it while the lock is dropped
    }
    HRESULT hr = group->QueryInterface(riid, reinterpret_cast<void**>(ppUnk));
    group->Release();
    return hr;
}

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
        unsigned long long last = m_ftLastUpdateTime.load();
        s.ftLastUpdateTime.dwLowDateTime = static_cast<DWORD>(last);
        s.ftLastUpdateTime.dwHighDateTime = static_cast<DWORD>(last >> 32);
        s.dwServerState = OPC_STATUS_RUNNING;
        s.dwGroupCount = m_dwGroupCount;
        s.dwBandWidth = 0xFFFFFFFF;
        s.wMajorVersion = VANTREL_VERSION_MAJOR;
        s.wMinorVersion = VANTREL_VERSION_MINOR;
        s.wBuildNumber = VANTREL_VERSION_PATCH;
        s.wReserved = 0;
        s.szVendorInfo = TaskMemStrDup(VANTREL_VENDOR);
        if (!s.szVendorInfo)
            return E_OUTOFMEMORY;
        *ppServerStatus = status.Detach();
        return S_OK;
    });
}

STDMETHODIMP COPCServer::RemoveGroup(OPCHANDLE hServerGroup, BOOL bForce)
{
    COPCGroup* group = nullptr;
    {
        CCsLock lock(m_csServer);
        HRESULT hr = DetachGroupLocked(hServerGroup, &group);
        if (FAILED(hr))
            return hr;
    }
    // The waits for the group's transactions, its scan and its callback in
    // progress happen outside the server's lock: the client may call the
    // server from inside a callback that is being waited for.
    HRESULT hr = group->FinishRemoval(bForce);
    group->WaitForDeliveries();
    group->Release();
    return hr;
}

HRESULT COPCServer::DetachGroupLocked(OPCHANDLE hServerGroup, COPCGroup** ppRemoved)
{
    COPCGroup* group = nullptr;
    {
        CCsLock groups(m_csGroups);
        auto it = m_groupsByHandle.find(hServerGroup);
        if (it == m_groupsByHandle.end())
            return E_INVALIDARG;
        group = it->second;
        m_groupsByHandle.erase(it);
        // Found by the group itself, not by its name: the group's lock is
        // taken before this one, never after it.
        auto byName = m_groupsByName.begin();
        while (byName != m_groupsByName.end() && byName->second != group)
            ++byName;
        if (byName != m_groupsByName.end())
            m_groupsByName.erase(byName);
        else
            VANTREL_INTERNAL_ERROR();
    }
    group->AddRef();
    *ppRemoved = group;
    group->BeginRemoval();
    --m_dwGroupCount;
    return S_OK;
}

STDMETHODIMP COPCServer::CreateGroupEnumerator(OPCENUMSCOPE dwScope, REFIID riid, LPUNKNOWN* ppUnk)
{
    if (!IsWritableOut(ppUnk))
        return E_INVALIDARG;
    *ppUnk = nullptr;
    if (dwScope == OPC_ENUM_PUBLIC_CONNECTIONS || dwScope == OPC_ENUM_PUBLIC)
        return S_FALSE;
    return ComBoundary([&]() -> HRESULT {
        if (riid == IID_IEnumUnknown) {
            auto snapshot = std::make_shared<CComEnumUnknown::Snapshot>();
            {
                CCsLock lock(m_csGroups);
                for (auto& entry : m_groupsByName) {
                    IUnknown* unk = static_cast<IOPCGroupStateMgt*>(entry.second);
                    unk->AddRef();
                    snapshot->items.push_back(unk);
                }
            }
            if (snapshot->items.empty())
                return S_FALSE;
            CComEnumUnknown* e = CComEnumUnknown::Create(snapshot);
            if (!e)
                return E_OUTOFMEMORY;
            return SUCCEEDED(e->QueryInterface(riid, reinterpret_cast<void**>(ppUnk))) ? S_OK : E_FAIL;
        }
        if (riid == IID_IEnumString) {
            auto snapshot = std::make_shared<CComEnumString::Snapshot>();
            {
                CCsLock lock(m_csGroups);
                for (auto& entry : m_groupsByName) {
                    wchar_t* copy = TaskMemStrDup(entry.first.c_str());
                    if (!copy)
                        return E_OUTOFMEMORY;
                    snapshot->items.push_back(copy);
                }
            }
            if (snapshot->items.empty())
                return S_FALSE;
            CComEnumString* e = CComEnumString::Create(snapshot);
            if (!e)
                return E_OUTOFMEMORY;
            return SUCCEEDED(e->QueryInterface(riid, reinterpret_cast<void**>(ppUnk))) ? S_OK : E_FAIL;
        }
        return E_NOINTERFACE;
    });
}
