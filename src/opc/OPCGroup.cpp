// The group object: lifetime, state management, activation, scan and removal.
#include "opc/OPCGroup.h"

#include "common/ComObject.h"
#include "common/ComUtil.h"
#include "common/OPCGlob.h"
#include "common/Trace.h"
#include "core/IdMgr.h"
#include "engine/AsyncIO.h"
#include "engine/ScanMgr.h"
#include "host/ClientWatch.h"
#include "host/Module.h"
#include "opc/OPCItem.h"
#include "opc/OPCSrvr.h"

#include <vector>

namespace {
const wchar_t kTraceName[] = L"COPCGroup";
}

COPCGroup::COPCGroup()
    : m_hIdleEvent(CreateEventW(nullptr, TRUE, TRUE, nullptr)),
      m_hServer(g_idMgr.Allocate()),
      m_cpData(this, static_cast<IOPCGroupStateMgt*>(this), IID_IOPCDataCallback, 1)
{
    VANTREL_ASSERT(m_hIdleEvent != nullptr);
    LockModule();
    TrackClientObject(static_cast<IOPCGroupStateMgt*>(this), &m_refs, kTraceName);
}

COPCGroup::~COPCGroup()
{
    UntrackClientObject(static_cast<IOPCGroupStateMgt*>(this));
    UntrackClientObject(static_cast<IConnectionPoint*>(&m_cpData));
    UnlockModule();
    DebugTrace(L"OPCGroup \"%s\" (%ld) destructing\n", m_strName.c_str(), static_cast<long>(m_hServer));
    DestroyItems();
    if (m_dwNameId)
        g_idMgr.ReleaseId(m_dwNameId);
    g_idMgr.ReleaseId(m_hServer);
    BOOL closed = CloseHandle(m_hIdleEvent);
    VANTREL_ASSERT(closed);
    m_connWriteComplete.RemoveAllConnections();
    m_connDataTime.RemoveAllConnections();
    m_connData.RemoveAllConnections();
}

void COPCGroup::DestroyItems()
{
    CCsLock lock(m_cs);
    std::map<OPCHANDLE, COPCItem*> items;
    items.swap(m_items);
    for (auto& entry : items)
        delete entry.second;
}

STDMETHODIMP COPCGroup::QueryInterface(REFIID riid, void** ppv)
{
    return QueryInterfaceTable(kTraceName, riid, ppv,
                               {{&IID_IOPCGroupStateMgt, static_cast<IOPCGroupStateMgt*>(this)},
                                {&IID_IOPCGroupStateMgt2, static_cast<IOPCGroupStateMgt2*>(this)},
                                {&IID_IOPCSyncIO, static_cast<IOPCSyncIO*>(this)},
                                {&IID_IOPCSyncIO2, static_cast<IOPCSyncIO2*>(this)},
                                {&IID_IOPCAsyncIO, static_cast<IOPCAsyncIO*>(this)},
                                {&IID_IOPCAsyncIO2, static_cast<IOPCAsyncIO2*>(this)},
                                {&IID_IOPCAsyncIO3, static_cast<IOPCAsyncIO3*>(this)},
                                {&IID_IOPCItemDeadbandMgt, static_cast<IOPCItemDeadbandMgt*>(this)},
                                {&IID_IOPCItemSamplingMgt, static_cast<IOPCItemSamplingMgt*>(this)},
                                {&IID_IOPCItemMgt, static_cast<IOPCItemMgt*>(this)},
                                {&IID_IDataObject, static_cast<IDataObject*>(this)},
                                {&IID_IConnectionPointContainer, static_cast<IConnectionPointContainer*>(this)}});
}

STDMETHODIMP_(ULONG) COPCGroup::AddRef() { return m_refs.Increment(kTraceName, this); }

STDMETHODIMP_(ULONG) COPCGroup::Release()
{
    LONG count = m_refs.Decrement(kTraceName, this);
    if (count == 0)
        delete this;
    return count;
}

std::wstring COPCGroup::GetName()
{
    CCsLock lock(m_cs);
    return m_strName;
}

DWORD COPCGroup::GetUpdateRate()
{
    CCsLock lock(m_cs);
    return m_dwUpdateRate;
}

COPCItem* COPCGroup::GetItem(OPCHANDLE hServer)
{
    CCsLock lock(m_cs);
    auto it = m_items.find(hServer);
    return it == m_items.end() ? nullptr : it->second;
}

std::list<COPCItem*>::iterator COPCGroup::AddActiveItem(COPCItem* pItem)
{
    CCsLock lock(m_cs);
    m_activeItems.push_front(pItem);
    return m_activeItems.begin();
}

void COPCGroup::RemoveActiveItem(std::list<COPCItem*>::iterator pos)
{
    CCsLock lock(m_cs);
    m_activeItems.erase(pos);
}

STDMETHODIMP COPCGroup::GetState(DWORD* pUpdateRate, BOOL* pActive, LPWSTR* ppName, LONG* pTimeBias,
                                 FLOAT* pPercentDeadband, DWORD* pLCID, OPCHANDLE* phClientGroup,
                                 OPCHANDLE* phServerGroup)
{
    CCsLock lock(m_cs);
    if (m_bRemoved)
        return E_FAIL;
    if (!IsWritableOut(pUpdateRate) || !IsWritableOut(pActive) || !IsWritableOut(ppName) ||
        !IsWritableOut(pTimeBias) || !IsWritableOut(pPercentDeadband) || !IsWritableOut(pLCID) ||
        !IsWritableOut(phClientGroup) || !IsWritableOut(phServerGroup))
        return E_INVALIDARG;
    *pUpdateRate = m_dwUpdateRate;
    *pActive = m_bActive;
    *pTimeBias = m_lTimeBias;
    *pPercentDeadband = m_fPercentDeadband;
    *pLCID = m_dwLCID;
    *phClientGroup = m_hClient;
    *phServerGroup = m_hServer;
    *ppName = TaskMemStrDup(m_strName.c_str());
    return *ppName ? S_OK : E_OUTOFMEMORY;
}

STDMETHODIMP COPCGroup::SetState(DWORD* pRequestedUpdateRate, DWORD* pRevisedUpdateRate, BOOL* pActive,
                                 LONG* pTimeBias, FLOAT* pPercentDeadband, DWORD* pLCID, OPCHANDLE* phClientGroup)
{
    CCsLock lock(m_cs);
    if (m_bRemoved)
        return E_FAIL;
    if (!IsWritableOut(pRevisedUpdateRate))
        return E_INVALIDARG;
    return ComBoundary([&]() -> HRESULT {
        if (pRequestedUpdateRate) {
            DWORD oldRate = m_dwUpdateRate;
            m_dwUpdateRate = *pRequestedUpdateRate;
            if (m_bActive && oldRate != m_dwUpdateRate && m_pServer && m_pServer->ScanMgr()) {
                m_pServer->ScanMgr()->AdjustDue(this, oldRate, m_dwUpdateRate);
                // For the scan thread, if it holds the group now.
                m_llNextScan += CUpdateScanMgr::DueShift(oldRate, m_dwUpdateRate);
            }
            *pRevisedUpdateRate = m_dwUpdateRate;
        }
        if (pTimeBias)
            m_lTimeBias = *pTimeBias;
        if (pPercentDeadband) {
            m_fPercentDeadband = *pPercentDeadband;
            m_dblDeadband = *pPercentDeadband * 0.01;
        }
        if (pLCID)
            m_dwLCID = *pLCID;
        if (phClientGroup)
            m_hClient = *phClientGroup;
        if (pActive)
            return SetActive(*pActive);
        return S_OK;
    });
}

HRESULT COPCGroup::SetActive(BOOL bActive)
{
    CCsLock lock(m_cs);
    bool active = bActive != FALSE;
    if (active == (m_bActive != FALSE))
        return S_OK;
    if (active) {
        m_bActive = TRUE;
        for (auto& entry : m_items) {
            HRESULT hr = entry.second->ActivateInCache();
            VANTREL_ASSERT(S_OK == hr);
        }
        AddRef();
        AddUse();
        // Not scheduled when the scan thread holds the group: it puts the
        // group back itself, now that it is active again.
        if (!m_pServer || !m_pServer->ScanMgr() || !m_pServer->ScanMgr()->Schedule(this)) {
            ReleaseUse();
            Release();
        }
    } else {
        m_bActive = FALSE;
        if (m_pServer && m_pServer->ScanMgr() && m_pServer->ScanMgr()->Unschedule(this)) {
            ReleaseUse();
            Release();
        }
        for (auto& entry : m_items) {
            COPCItem* item = entry.second;
            if (item->IsActive()) {
                item->DeactivateInCache();
            } else {
                CCsLock itemLock(item->m_cs);
                item->m_wLastQuality = OPC_QUALITY_OUT_OF_SERVICE;
            }
        }
    }
    return S_OK;
}

LONG COPCGroup::AddUse()
{
    CCsLock lock(m_cs);
    LONG count = InterlockedIncrement(&m_nUses);
    if (count == 1)
        ResetEvent(m_hIdleEvent);
    return count;
}

LONG COPCGroup::ReleaseUse()
{
    CCsLock lock(m_cs);
    LONG count = InterlockedDecrement(&m_nUses);
    if (count == 0)
        SetEvent(m_hIdleEvent);
    return count;
}

BOOL COPCGroup::Update(LONGLONG* pllDue)
{
    CCsLock lock(m_cs);
    if (!m_bActive)
        return FALSE;
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    *pllDue = now.QuadPart + static_cast<LONGLONG>(m_dwUpdateRate) * TicksPerMs();
    m_llNextScan = *pllDue;

    // The scratch arrays are the group's, reused from update to update (the
    // group's lock is held).
    CUpdateScratch& u = m_update;
    const size_t n = m_activeItems.size();
    u.Resize(n);
    // The samples first, all under one hold of the cache's lock (the group's
    // lock is held, no item's: the order of the locks is kept).
    size_t sampled = 0;
    {
        CDeviceLockHold cacheLock(g_cache.m_hMutex);
        for (COPCItem* item : m_activeItems) {
            // An item with a sampling rate of its own is looked at only when
            // that much time has passed.
            if (item->m_dwSamplingRate) {
                if (now.QuadPart < item->m_llNextSample)
                    continue;
                item->m_llNextSample = now.QuadPart + static_cast<LONGLONG>(item->m_dwSamplingRate) * TicksPerMs();
            }
            EmptyVariant(&u.samples[sampled]);
            u.readable[sampled] = item->ReadCachedSample(&u.samples[sampled], &u.sampleQualities[sampled],
                                                         &u.sampleTimes[sampled]);
            u.items[sampled++] = item;
        }
    }
    DWORD dwNumItems = 0;
    for (size_t k = 0; k < sampled; ++k) {
        COPCItem* item = u.items[k];
        BOOL changed = FALSE;
        EmptyVariant(&u.values[dwNumItems]);
        if (u.readable[k]) {
            // A failed conversion to the requested type: the streams carry
            // the value as it stands, the callback the error.
            const double deadband = item->m_bDeadbandSet ? item->m_fDeadband * 0.01 : m_dblDeadband;
            u.errors[dwNumItems] = item->CheckForUpdate(deadband, u.samples[k], u.sampleQualities[k],
                                                        u.sampleTimes[k], &u.clients[dwNumItems],
                                                        &u.values[dwNumItems], &changed);
            ClearStoredVariant(&u.samples[k]);
        }
        if (changed) {
            u.qualities[dwNumItems] = u.sampleQualities[k];
            u.times[dwNumItems] = u.sampleTimes[k];
            ++dwNumItems;
        }
    }
    VANTREL_ASSERT(dwNumItems <= m_activeItems.size());
    if (dwNumItems > 0) {
        SendDataChange(S_OK, dwNumItems, u.clients.data(), u.values.data(), u.qualities.data(), u.times.data());
        PrepareCallbackDelivery(dwNumItems, u.clients.data(), u.values.data(), u.qualities.data(), u.times.data(),
                                u.errors.data());
    } else {
        PrepareKeepAlive();
    }
    for (DWORD i = 0; i < dwNumItems; ++i)
        ClearStoredVariant(&u.values[i]);
    return TRUE;
}

bool COPCGroup::ReturnToSchedule(CUpdateScanMgr* mgr, bool scanned)
{
    CCsLock lock(m_cs);
    if (!m_bActive) {
        mgr->EndScan();
        return false;
    }
    mgr->Reschedule(this, scanned ? m_llNextScan : 0);
    return true;
}

HRESULT COPCGroup::Refresh(DWORD dwConnection, DWORD dwSource, DWORD dwTransactionID)
{
    CCsLock lock(m_cs);
    if (!m_bActive)
        return S_OK;
    const DWORD n = static_cast<DWORD>(m_activeItems.size());
    std::vector<OPCHANDLE> servers;
    servers.reserve(n);
    for (COPCItem* item : m_activeItems)
        servers.push_back(item->GetServerHandle());
    VANTREL_ASSERT(servers.size() == m_activeItems.size());
    std::vector<OPCHANDLE> clients(n);
    std::vector<VARIANT> values(n);
    std::vector<WORD> qualities(n);
    std::vector<FILETIME> times(n);
    std::vector<HRESULT> errors(n);
    for (auto& v : values)
        VariantInit(&v);
    ReadItems(dwSource, n, servers.data(), clients.data(), values.data(), qualities.data(), times.data(),
              errors.data());
    HRESULT hr = SendReadComplete(dwConnection, dwTransactionID, n, clients.data(), values.data(),
                                  qualities.data(), times.data());
    for (auto& v : values)
        VariantClear(&v);
    return hr;
}

void COPCGroup::BeginRemoval()
{
    {
        CCsLock lock(m_cs);
        m_bRemoved = TRUE;
        SetActive(FALSE);
    }
    m_cpData.UnadviseAll();  // a removed group calls no callback
    TakeCallbackDelivery().reset();  // nor keeps a change for one (it holds a reference)
}

HRESULT COPCGroup::FinishRemoval(BOOL bForce)
{
    // The group's transactions are carried out one at a time, in arrival
    // order, by the I/O thread; each holds a use of the group until it is
    // done. Waiting for them from inside a completion that thread is
    // delivering would never end: they are carried out here then.
    CAsyncIOMgr* mgr = m_pServer ? m_pServer->AsyncIOMgr() : nullptr;
    if (mgr && mgr->IsCallerInsideDelivery())
        CarryOutQueuedTransactions(mgr);
    WaitForSingleObject(m_hIdleEvent, INFINITE);
    HRESULT hr = S_OK;
    if (bForce) {
        // Client proxies go now; the object itself goes with its last
        // reference, so in-process holders never keep a dangling pointer.
        hr = CoDisconnectObject(static_cast<IOPCGroupStateMgt*>(this), 0);
        VANTREL_ASSERT(S_OK == hr);
    }
    Release();  // the server's reference
    return hr;
}

void COPCGroup::CarryOutQueuedTransactions(CAsyncIOMgr* mgr)
{
    // In their queue order, as the I/O thread would have (it waits for the
    // completion the client is inside): 1.0 completions reach the sinks
    // still advised, 2.0 ones have no callback left; writes are written.
    for (CTransaction* t : mgr->TakeGroupTransactions(this)) {
        t->Execute();
        delete t;
    }
}

STDMETHODIMP COPCGroup::SetName(LPCWSTR szName)
{
    CCsLock lock(m_cs);
    if (m_bRemoved)
        return E_FAIL;
    return ComBoundary([&]() -> HRESULT {
        std::wstring name;
        unsigned long nameId = 0;
        if (!szName || !*szName) {
            wchar_t buffer[32];
            name = MakeDefaultGroupName(buffer, &nameId);
        } else {
            name = szName;
        }
        return Rename(name, nameId);
    });
}

HRESULT COPCGroup::Rename(const std::wstring& name, unsigned long nameId)
{
    CCsLock lock(m_cs);
    // The check, the removal of the old name and the insertion of the new one
    // happen under one hold of the server's name table.
    HRESULT hr = m_pServer ? m_pServer->RenameGroup(this, m_strName, name) : E_FAIL;
    // The number of a generated name is kept while the group bears the name.
    unsigned long released = SUCCEEDED(hr) ? m_dwNameId : nameId;
    if (SUCCEEDED(hr))
        m_dwNameId = nameId;
    if (released)
        g_idMgr.ReleaseId(released);
    return hr;
}

STDMETHODIMP COPCGroup::CloneGroup(LPCWSTR szName, REFIID riid, LPUNKNOWN* ppUnk)
{
    CCsLock lock(m_cs);
    if (m_bRemoved)
        return E_FAIL;
    if (!IsWritableOut(ppUnk))
        return E_INVALIDARG;
    *ppUnk = nullptr;
    if (!m_pServer)
        return E_FAIL;
    return ComBoundary([&]() -> HRESULT {
        OPCHANDLE hNew = 0;
        DWORD revised = 0;
        LONG timeBias = m_lTimeBias;
        FLOAT deadband = m_fPercentDeadband;
        IUnknown* itemMgtUnk = nullptr;
        HRESULT hr = m_pServer->AddGroup(szName, FALSE, m_dwUpdateRate, m_hClient, &timeBias, &deadband, m_dwLCID,
                                         &hNew, &revised, IID_IOPCItemMgt, &itemMgtUnk);
        if (hr != S_OK)
            return hr;
        auto* itemMgt = static_cast<IOPCItemMgt*>(static_cast<void*>(itemMgtUnk));
        auto fail = [&](HRESULT code) {
            if (*ppUnk) {
                (*ppUnk)->Release();
                *ppUnk = nullptr;
            }
            itemMgt->Release();
            m_pServer->RemoveGroup(hNew, TRUE);
            return code;
        };
        hr = itemMgt->QueryInterface(riid, reinterpret_cast<void**>(ppUnk));
        if (hr != S_OK)
            return fail(hr);

        // Snapshot of this group's items, in server-handle order.
        const DWORD n = static_cast<DWORD>(m_items.size());
        std::vector<OPCITEMATTRIBUTES> attrs(n);
        DWORD i = 0;
        for (auto& entry : m_items)
            entry.second->GetAttributes(&attrs[i++], HeapAllocFn);
        std::vector<OPCITEMDEF> defs(n);
        for (i = 0; i < n; ++i) {
            defs[i].szAccessPath = attrs[i].szAccessPath;
            defs[i].szItemID = attrs[i].szItemID;
            defs[i].bActive = attrs[i].bActive;
            defs[i].hClient = attrs[i].hClient;
            defs[i].dwBlobSize = attrs[i].dwBlobSize;
            defs[i].pBlob = attrs[i].pBlob;
            defs[i].vtRequestedDataType = attrs[i].vtRequestedDataType;
            defs[i].wReserved = 0;
        }
        OPCITEMRESULT* results = nullptr;
        HRESULT* errors = nullptr;
        hr = itemMgt->AddItems(n, defs.data(), &results, &errors);
        FreeItemResultArray(results ? n : 0, results);
        CoTaskMemFree(errors);
        for (i = n; i-- > 0;) {
            VariantClear(&attrs[i].vEUInfo);
            HeapFreeFn(attrs[i].szAccessPath);
            HeapFreeFn(attrs[i].szItemID);
            HeapFreeFn(attrs[i].pBlob);
        }
        if (FAILED(hr))
            return fail(hr);
        itemMgt->Release();
        return hr;
    });
}
