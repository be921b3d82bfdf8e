// The group's IOPCAsyncIO2: reads, writes and refreshes on the one
// asynchronous queue, completing through the group's IOPCDataCallback with
// the client's transaction ID; the server's cancel ID is for Cancel2 only.
#include "common/ComUtil.h"
#include "core/IdMgr.h"
#include "engine/AsyncIO.h"
#include "opc/OPCGroup.h"
#include "opc/OPCItem.h"
#include "opc/OPCSrvr.h"

#include <memory>
#include <olectl.h>

namespace {
// The entry checks of the 2.0 calls, in their order: removed group,
// out-pointers (cleared), callback connection. On success *ppMgr is the
// queue. ppErrors is NULL for Refresh2.
HRESULT Async2Entry(COPCGroup* group, DWORD* pdwCancelID, bool withErrors, HRESULT** ppErrors,
                    CAsyncIOMgr** ppMgr)
{
    if (group->m_bRemoved)
        return E_FAIL;
    if (!IsWritableOut(pdwCancelID) || (withErrors && !IsWritableOut(ppErrors)))
        return E_INVALIDARG;
    *pdwCancelID = 0;
    if (withErrors)
        *ppErrors = nullptr;
    if (!group->m_cpData.HasConnections())
        return CONNECT_E_NOCONNECTION;
    *ppMgr = group->m_pServer ? group->m_pServer->AsyncIOMgr() : nullptr;
    return *ppMgr ? S_OK : E_FAIL;
}

// Checks the handles into a new errors array and queues one transaction for
// the items that are known; none known queues nothing (S_FALSE). values is
// NULL for a read.
HRESULT QueueCallbackItems(COPCGroup* group, CAsyncIOMgr* mgr, CCallbackTransaction::Kind kind, DWORD dwCount,
                           const OPCHANDLE* phServer, const VARIANT* values, DWORD dwTransactionID,
                           DWORD* pdwCancelID, HRESULT** ppErrors)
{
    return ComBoundary([&]() -> HRESULT {
        CTaskMem<HRESULT> errors;
        if (!errors.Allocate(dwCount))
            return E_OUTOFMEMORY;
        DWORD known = 0;
        for (DWORD i = 0; i < dwCount; ++i) {
            errors[i] = group->m_items.count(phServer[i]) ? S_OK : OPC_E_INVALIDHANDLE;
            if (errors[i] == S_OK)
                ++known;
        }
        const HRESULT result = known == dwCount ? S_OK : S_FALSE;
        if (known > 0) {
            auto t = std::make_unique<CCallbackTransaction>(kind, g_idMgr.Allocate(), group, dwTransactionID,
                                                            static_cast<DWORD>(OPC_DS_DEVICE));
            for (DWORD i = 0; i < dwCount; ++i) {
                if (errors[i] != S_OK)
                    continue;
                HRESULT hr = t->AddItem(phServer[i], group->m_items[phServer[i]]->GetClientHandle(),
                                        values ? &values[i] : nullptr);
                if (FAILED(hr))
                    return hr;
            }
            *pdwCancelID = t->m_dwTransactionID;
            mgr->QueueTransaction(t.release());
        }
        *ppErrors = errors.Detach();
        return result;
    });
}
}  // namespace

STDMETHODIMP COPCGroup::Read(DWORD dwCount, OPCHANDLE* phServer, DWORD dwTransactionID, DWORD* pdwCancelID,
                             HRESULT** ppErrors)
{
    CCsLock lock(m_cs);
    CAsyncIOMgr* mgr = nullptr;
    HRESULT hr = Async2Entry(this, pdwCancelID, true, ppErrors, &mgr);
    if (hr != S_OK)
        return hr;
    if (dwCount == 0 || !phServer)
        return E_INVALIDARG;
    return QueueCallbackItems(this, mgr, CCallbackTransaction::kRead, dwCount, phServer, nullptr, dwTransactionID,
                              pdwCancelID, ppErrors);
}

STDMETHODIMP COPCGroup::Write(DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues, DWORD dwTransactionID,
                              DWORD* pdwCancelID, HRESULT** ppErrors)
{
    CCsLock lock(m_cs);
    CAsyncIOMgr* mgr = nullptr;
    HRESULT hr = Async2Entry(this, pdwCancelID, true, ppErrors, &mgr);
    if (hr != S_OK)
        return hr;
    if (dwCount == 0 || !phServer || !pItemValues)
        return E_INVALIDARG;
    return QueueCallbackItems(this, mgr, CCallbackTransaction::kWrite, dwCount, phServer, pItemValues,
                              dwTransactionID, pdwCancelID, ppErrors);
}

STDMETHODIMP COPCGroup::Refresh2(OPCDATASOURCE dwSource, DWORD dwTransactionID, DWORD* pdwCancelID)
{
    CCsLock lock(m_cs);
    CAsyncIOMgr* mgr = nullptr;
    HRESULT hr = Async2Entry(this, pdwCancelID, false, nullptr, &mgr);
    if (hr != S_OK)
        return hr;
    if (dwSource != OPC_DS_CACHE && dwSource != OPC_DS_DEVICE)
        return E_INVALIDARG;
    if (!m_bActive || m_activeItems.empty())
        return E_FAIL;
    return ComBoundary([&]() -> HRESULT {
        auto t = std::make_unique<CCallbackTransaction>(CCallbackTransaction::kRefresh, g_idMgr.Allocate(), this,
                                                        dwTransactionID, static_cast<DWORD>(dwSource));
        *pdwCancelID = t->m_dwTransactionID;
        mgr->QueueTransaction(t.release());
        return S_OK;
    });
}

STDMETHODIMP COPCGroup::Cancel2(DWORD dwCancelID)
{
    CTransaction* t = nullptr;
    {
        CCsLock lock(m_cs);
        if (m_bRemoved)
            return E_FAIL;
        CAsyncIOMgr* mgr = m_pServer ? m_pServer->AsyncIOMgr() : nullptr;
        // Only this group's 2.0 transactions: a cancel ID is the group's.
        if (mgr)
            t = mgr->RemoveTransaction(dwCancelID, [this](const CTransaction& queued) {
                return queued.m_pGroup == this && queued.IsCallback();
            });
    }
    if (!t)
        return E_FAIL;  // unknown, or already carried out
    t->OnCancel();
    delete t;
    return S_OK;
}

STDMETHODIMP COPCGroup::SetEnable(BOOL bEnable)
{
    CCsLock lock(m_cs);
    if (m_bRemoved)
        return E_FAIL;
    if (!m_cpData.HasConnections())
        return CONNECT_E_NOCONNECTION;
    m_bCallbackEnabled = bEnable ? TRUE : FALSE;
    return S_OK;
}

STDMETHODIMP COPCGroup::GetEnable(BOOL* pbEnable)
{
    CCsLock lock(m_cs);
    if (m_bRemoved)
        return E_FAIL;
    if (!IsWritableOut(pbEnable))
        return E_INVALIDARG;
    *pbEnable = FALSE;
    if (!m_cpData.HasConnections())
        return CONNECT_E_NOCONNECTION;
    *pbEnable = m_bCallbackEnabled;
    return S_OK;
}

void COPCGroup::ReadForCallback(DWORD dwSource, const std::vector<OPCHANDLE>& servers, CCallbackDelivery* d)
{
    CCsLock lock(m_cs);
    const DWORD n = static_cast<DWORD>(servers.size());
    std::vector<OPCHANDLE> clients(n);
    d->values.resize(n);
    d->qualities.resize(n);
    d->times.resize(n);
    d->errors.resize(n);
    ReadItems(dwSource, n, servers.data(), clients.data(), d->values.data(), d->qualities.data(), d->times.data(),
              d->errors.data());
    for (DWORD i = 0; i < n; ++i) {
        // An item removed since the call keeps the client handle it had then.
        if (d->errors[i] == S_OK)
            d->clients[i] = clients[i];
        auto it = m_items.find(servers[i]);
        if (it == m_items.end())
            continue;
        VARIANT& v = d->values[i];
        const VARTYPE requested = it->second->m_vtRequested;
        if (requested == VT_EMPTY || v.vt == requested)
            continue;
        HRESULT hr = VariantChangeType(&v, &v, 0, requested);
        if (FAILED(hr)) {
            VariantClear(&v);
            d->errors[i] = hr;
            d->qualities[i] = OPC_QUALITY_BAD;
        }
    }
}

HRESULT COPCGroup::ExecuteCallbackTransaction(CCallbackTransaction* t)
{
    std::unique_ptr<CCallbackDelivery> d;
    HRESULT hr = S_OK;
    {
        CCsLock lock(m_cs);
        const DWORD n = static_cast<DWORD>(t->m_servers.size());
        switch (t->m_kind) {
        case CCallbackTransaction::kRead:
            d = NewCallbackDelivery(CCallbackDelivery::kReadComplete, t->m_dwClientID);
            if (d) {
                d->clients = t->m_clients;
                ReadForCallback(OPC_DS_DEVICE, t->m_servers, d.get());
            }
            break;
        case CCallbackTransaction::kWrite: {
            // Written whether or not a callback is still there to hear of it.
            std::vector<OPCHANDLE> clients(n);
            std::vector<HRESULT> errors(n);
            hr = WriteItems(n, t->m_servers.data(), t->m_values.data(), clients.data(), errors.data());
            d = NewCallbackDelivery(CCallbackDelivery::kWriteComplete, t->m_dwClientID);
            if (d) {
                for (DWORD i = 0; i < n; ++i)
                    if (errors[i] == OPC_E_INVALIDHANDLE)
                        clients[i] = t->m_clients[i];
                d->clients = std::move(clients);
                d->errors = std::move(errors);
            }
            break;
        }
        case CCallbackTransaction::kRefresh: {
            // Every active item, changed or not, in one call (none, when the
            // last was deactivated since: the client still hears of its
            // refresh); the change check of the data changes is left as it
            // was. A group deactivated since sends nothing, as in 1.0.
            std::vector<OPCHANDLE> servers;
            for (COPCItem* item : m_activeItems)
                servers.push_back(item->GetServerHandle());
            if (m_bActive)
                d = NewCallbackDelivery(CCallbackDelivery::kDataChange, t->m_dwClientID);
            if (d) {
                d->clients.resize(servers.size());
                ReadForCallback(t->m_dwSource, servers, d.get());
            }
            break;
        }
        }
    }
    t->ReleaseGroupUse();
    DeliverCallbacks(std::move(d));
    return hr;
}

HRESULT COPCGroup::CancelCallbackTransaction(CCallbackTransaction* t)
{
    std::unique_ptr<CCallbackDelivery> d = NewCallbackDelivery(CCallbackDelivery::kCancelComplete, t->m_dwClientID);
    t->ReleaseGroupUse();
    DeliverCallbacks(std::move(d));
    return S_OK;
}
