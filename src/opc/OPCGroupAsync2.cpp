// The group's IOPCAsyncIO2: reads, writes and refreshes on the one
// asynchronous queue, completing through the group's IOPCDataCallback with
// the client's transaction ID; the server's cancel ID is for Cancel2 only.
#include "common/ComUtil.h"
#include "core/IdMgr.h"
#include "engine/AsyncIO.h"
#include "opc/OPCGroup.h"
#include "opc/ItemFacts.h"
#include "opc/OPCItem.h"
#include "opc/OPCSrvr.h"

#include <functional>
#include <memory>
#include <new>
#include <olectl.h>

HRESULT COPCGroup::Async2Entry(DWORD* pdwCancelID, bool withErrors, HRESULT** ppErrors, CAsyncIOMgr** ppMgr)
{
    if (m_bRemoved)
        return E_FAIL;
    if (!IsWritableOut(pdwCancelID) || (withErrors && !IsWritableOut(ppErrors)))
        return E_INVALIDARG;
    *pdwCancelID = 0;
    if (withErrors)
        *ppErrors = nullptr;
    if (!m_cpData.HasConnections())
        return CONNECT_E_NOCONNECTION;
    *ppMgr = m_pServer ? m_pServer->AsyncIOMgr() : nullptr;
    return *ppMgr ? S_OK : E_FAIL;
}

HRESULT COPCGroup::QueueCallbackItems(CAsyncIOMgr* mgr, CCallbackTransaction::Kind kind, DWORD dwCount,
                                      const OPCHANDLE* phServer, DWORD dwTransactionID, DWORD* pdwCancelID,
                                      HRESULT** ppErrors, const ItemOfCall& itemOf)
{
    return ComBoundary([&]() -> HRESULT {
        CTaskMem<HRESULT> errors;
        if (!errors.Allocate(dwCount))
            return E_OUTOFMEMORY;
        std::vector<DWORD> maxAges(dwCount, kMaxAgeDevice);
        std::vector<const VARIANT*> values(dwCount, nullptr);
        std::vector<const OPCITEMVQT*> qualityTimes(dwCount, nullptr);
        DWORD known = 0;
        for (DWORD i = 0; i < dwCount; ++i) {
            errors[i] = m_items.count(phServer[i]) ? itemOf(i, &maxAges[i], &values[i], &qualityTimes[i])
                                                   : OPC_E_INVALIDHANDLE;
            if (errors[i] == S_OK)
                ++known;
        }
        const HRESULT result = known == dwCount ? S_OK : S_FALSE;
        if (known > 0) {
            auto t = std::make_unique<CCallbackTransaction>(kind, g_idMgr.Allocate(), this, dwTransactionID,
                                                            kMaxAgeDevice);
            for (DWORD i = 0; i < dwCount; ++i) {
                if (errors[i] != S_OK)
                    continue;
                HRESULT hr = t->AddItem(phServer[i], m_items[phServer[i]]->GetClientHandle(), maxAges[i], values[i],
                                        qualityTimes[i]);
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

HRESULT COPCGroup::QueueRefresh(CAsyncIOMgr* mgr, DWORD dwMaxAge, DWORD dwTransactionID, DWORD* pdwCancelID)
{
    if (!m_bActive || m_activeItems.empty())
        return E_FAIL;
    return ComBoundary([&]() -> HRESULT {
        auto t = std::make_unique<CCallbackTransaction>(CCallbackTransaction::kRefresh, g_idMgr.Allocate(), this,
                                                        dwTransactionID, dwMaxAge);
        *pdwCancelID = t->m_dwTransactionID;
        mgr->QueueTransaction(t.release());
        return S_OK;
    });
}

STDMETHODIMP COPCGroup::Read(DWORD dwCount, OPCHANDLE* phServer, DWORD dwTransactionID, DWORD* pdwCancelID,
                             HRESULT** ppErrors)
{
    CCsLock lock(m_cs);
    CAsyncIOMgr* mgr = nullptr;
    HRESULT hr = Async2Entry(pdwCancelID, true, ppErrors, &mgr);
    if (hr != S_OK)
        return hr;
    if (dwCount == 0 || !phServer)
        return E_INVALIDARG;
    // Always from the device.
    return QueueCallbackItems(mgr, CCallbackTransaction::kRead, dwCount, phServer, dwTransactionID, pdwCancelID,
                              ppErrors, [](DWORD, DWORD*, const VARIANT**, const OPCITEMVQT**) { return S_OK; });
}

STDMETHODIMP COPCGroup::Write(DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues, DWORD dwTransactionID,
                              DWORD* pdwCancelID, HRESULT** ppErrors)
{
    CCsLock lock(m_cs);
    CAsyncIOMgr* mgr = nullptr;
    HRESULT hr = Async2Entry(pdwCancelID, true, ppErrors, &mgr);
    if (hr != S_OK)
        return hr;
    if (dwCount == 0 || !phServer || !pItemValues)
        return E_INVALIDARG;
    return QueueCallbackItems(mgr, CCallbackTransaction::kWrite, dwCount, phServer, dwTransactionID, pdwCancelID,
                              ppErrors, [&](DWORD i, DWORD*, const VARIANT** value, const OPCITEMVQT**) {
                                  *value = &pItemValues[i];
                                  return S_OK;
                              });
}

STDMETHODIMP COPCGroup::Refresh2(OPCDATASOURCE dwSource, DWORD dwTransactionID, DWORD* pdwCancelID)
{
    CCsLock lock(m_cs);
    CAsyncIOMgr* mgr = nullptr;
    HRESULT hr = Async2Entry(pdwCancelID, false, nullptr, &mgr);
    if (hr != S_OK)
        return hr;
    if (dwSource != OPC_DS_CACHE && dwSource != OPC_DS_DEVICE)
        return E_INVALIDARG;
    return QueueRefresh(mgr, dwSource == OPC_DS_CACHE ? kMaxAgeCache : kMaxAgeDevice, dwTransactionID, pdwCancelID);
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

void COPCGroup::ReadForCallback(const std::vector<OPCHANDLE>& servers, const std::vector<DWORD>& maxAges,
                                CCallbackDelivery* d)
{
    CCsLock lock(m_cs);
    const DWORD n = static_cast<DWORD>(servers.size());
    std::vector<OPCHANDLE> clients(n);
    d->values.resize(n);
    d->qualities.resize(n);
    d->times.resize(n);
    d->errors.resize(n);
    ReadItems(OPC_DS_CACHE, n, servers.data(), clients.data(), d->values.data(), d->qualities.data(), d->times.data(),
              d->errors.data(), maxAges.data());
    // An item removed since the call keeps the client handle it had then.
    for (DWORD i = 0; i < n; ++i)
        if (d->errors[i] == S_OK)
            d->clients[i] = clients[i];
    ApplyRequestedTypes(n, servers.data(), d->values.data(), d->qualities.data(), d->errors.data());
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
                ReadForCallback(t->m_servers, t->m_maxAges, d.get());
            }
            break;
        case CCallbackTransaction::kWrite: {
            // Written whether or not a callback is still there to hear of it.
            std::vector<OPCHANDLE> clients(n);
            std::vector<HRESULT> errors(n);
            if (t->m_qualityTimes.empty()) {
                hr = WriteItems(n, t->m_servers.data(), t->m_values.data(), clients.data(), errors.data());
            } else {
                std::vector<OPCITEMVQT> records(t->m_qualityTimes);
                for (DWORD i = 0; i < n; ++i)
                    records[i].vDataValue = t->m_values[i];  // shallow: only read
                hr = WriteVQTItems(n, t->m_servers.data(), records.data(), clients.data(), errors.data());
            }
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
        case CCallbackTransaction::kCancelled:
            d = NewCallbackDelivery(CCallbackDelivery::kCancelComplete, t->m_dwClientID);
            break;
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
                ReadForCallback(servers, std::vector<DWORD>(servers.size(), t->m_dwMaxAge), d.get());
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
    // Cancel2 only takes the transaction; OnCancelComplete comes from the
    // I/O thread, ahead of everything queued: a callback may be running
    // (the client may even be calling from inside it), and no client call
    // waits for a callback.
    CAsyncIOMgr* mgr = m_pServer ? m_pServer->AsyncIOMgr() : nullptr;
    if (!mgr)
        return S_OK;
    auto* said = new (std::nothrow) CCallbackTransaction(CCallbackTransaction::kCancelled, 0, this, t->m_dwClientID, 0);
    if (!said)
        return E_OUTOFMEMORY;
    mgr->QueueTransactionFirst(said);
    return S_OK;
}
