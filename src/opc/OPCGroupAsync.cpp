// The group's asynchronous reads, writes, refreshes and cancellation.
#include "common/ComUtil.h"
#include "core/IdMgr.h"
#include "engine/AsyncIO.h"
#include "opc/OPCGroup.h"
#include "opc/OPCItem.h"
#include "opc/OPCSrvr.h"

#include <memory>
#include <new>

namespace {
// Checks the handles into a new errors array; S_FALSE when one is unknown.
HRESULT CheckHandles(COPCGroup* group, DWORD dwCount, const OPCHANDLE* phServer, CTaskMem<HRESULT>& errors)
{
    if (!errors.Allocate(dwCount))
        return E_OUTOFMEMORY;
    HRESULT result = S_OK;
    for (DWORD i = 0; i < dwCount; ++i) {
        errors[i] = group->m_items.count(phServer[i]) ? S_OK : OPC_E_INVALIDHANDLE;
        if (errors[i] != S_OK)
            result = S_FALSE;
    }
    return result;
}

// Checks the handles, then queues the transaction made by make(id); the
// identifier and the errors array are handed out only when it is queued.
template <class Make>
HRESULT QueueItemTransaction(COPCGroup* group, CAsyncIOMgr* mgr, DWORD dwCount, const OPCHANDLE* phServer,
                             DWORD* pTransactionID, HRESULT** ppErrors, Make make)
{
    return ComBoundary([&]() -> HRESULT {
        CTaskMem<HRESULT> errors;
        HRESULT hr = CheckHandles(group, dwCount, phServer, errors);
        if (FAILED(hr))
            return hr;
        if (hr == S_FALSE) {
            *ppErrors = errors.Detach();
            return S_FALSE;
        }
        DWORD id = g_idMgr.Allocate();
        std::unique_ptr<CTransaction> t;
        hr = make(id, &t);
        if (FAILED(hr))
            return hr;
        mgr->QueueTransaction(t.release());
        *pTransactionID = id;
        *ppErrors = errors.Detach();
        return S_OK;
    });
}

bool IsDataConnection(COPCGroup* group, DWORD dwConnection)
{
    return group->m_connDataTime.HasConnection(dwConnection) || group->m_connData.HasConnection(dwConnection);
}
// The entry checks every asynchronous call makes, in their order: removed
// group, out-pointers (cleared), connection, data source. On success *ppMgr is
// the queue. Refresh has no errors array (withErrors false); pSource is NULL
// for Write.
HRESULT AsyncEntry(COPCGroup* group, DWORD* pTransactionID, bool withErrors, HRESULT** ppErrors,
                   bool connectionOk, const OPCDATASOURCE* pSource, CAsyncIOMgr** ppMgr)
{
    if (group->m_bRemoved)
        return E_FAIL;
    if (!IsWritableOut(pTransactionID) || (withErrors && !IsWritableOut(ppErrors)))
        return E_INVALIDARG;
    *pTransactionID = 0;
    if (withErrors)
        *ppErrors = nullptr;
    if (!connectionOk)
        return OLE_E_NOCONNECTION;
    if (pSource && *pSource != OPC_DS_CACHE && *pSource != OPC_DS_DEVICE)
        return E_INVALIDARG;
    *ppMgr = group->m_pServer ? group->m_pServer->AsyncIOMgr() : nullptr;
    return *ppMgr ? S_OK : E_FAIL;
}
}  // namespace

STDMETHODIMP COPCGroup::Read(DWORD dwConnection, OPCDATASOURCE dwSource, DWORD dwCount, OPCHANDLE* phServer,
                             DWORD* pTransactionID, HRESULT** ppErrors)
{
    CCsLock lock(m_cs);
    CAsyncIOMgr* mgr = nullptr;
    HRESULT hr = AsyncEntry(this, pTransactionID, true, ppErrors, IsDataConnection(this, dwConnection),
                            &dwSource, &mgr);
    if (hr != S_OK)
        return hr;
    return QueueItemTransaction(this, mgr, dwCount, phServer, pTransactionID, ppErrors,
                                [&](DWORD id, std::unique_ptr<CTransaction>* t) {
                                    t->reset(new CReadTransaction(id, this, dwConnection, dwSource, dwCount, phServer));
                                    return S_OK;
                                });
}

STDMETHODIMP COPCGroup::Write(DWORD dwConnection, DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues,
                              DWORD* pTransactionID, HRESULT** ppErrors)
{
    CCsLock lock(m_cs);
    CAsyncIOMgr* mgr = nullptr;
    HRESULT hr = AsyncEntry(this, pTransactionID, true, ppErrors, m_connWriteComplete.HasConnection(dwConnection),
                            nullptr, &mgr);
    if (hr != S_OK)
        return hr;
    return QueueItemTransaction(this, mgr, dwCount, phServer, pTransactionID, ppErrors,
                                [&](DWORD id, std::unique_ptr<CTransaction>* t) {
                                    auto* write = new CWriteTransaction(id, this, dwConnection, dwCount, phServer);
                                    t->reset(write);
                                    return write->SetValues(pItemValues);
                                });
}

STDMETHODIMP COPCGroup::Refresh(DWORD dwConnection, OPCDATASOURCE dwSource, DWORD* pTransactionID)
{
    CCsLock lock(m_cs);
    CAsyncIOMgr* mgr = nullptr;
    HRESULT hr = AsyncEntry(this, pTransactionID, false, nullptr, IsDataConnection(this, dwConnection),
                            &dwSource, &mgr);
    if (hr != S_OK)
        return hr;
    if (!m_bActive || m_activeItems.empty())
        return E_FAIL;
    return ComBoundary([&]() -> HRESULT {
        DWORD id = g_idMgr.Allocate();
        mgr->QueueTransaction(new CRefreshTransaction(id, this, dwConnection, dwSource));
        *pTransactionID = id;
        return S_OK;
    });
}

STDMETHODIMP COPCGroup::Cancel(DWORD dwTransactionID)
{
    CTransaction* t = nullptr;
    {
        CCsLock lock(m_cs);
        if (m_bRemoved)
            return E_FAIL;
        CAsyncIOMgr* mgr = m_pServer ? m_pServer->AsyncIOMgr() : nullptr;
        t = mgr ? mgr->RemoveTransaction(dwTransactionID) : nullptr;
    }
    if (!t)
        return E_FAIL;
    // Destroyed outside this group's lock: the transaction may belong to
    // another group, whose lock its destruction takes.
    HRESULT hr = t->OnCancel();
    delete t;
    return hr;
}
