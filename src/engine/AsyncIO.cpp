#include "engine/AsyncIO.h"

#include "common/Trace.h"
#include "core/IdMgr.h"
#include "core/SharedManager.h"
#include "opc/OPCGroup.h"

#include <new>

CAsyncIOMgr* pGlobalAsyncIOMgr = nullptr;
namespace {
LONG nAsyncIOMgrRefs = 0;
CCriticalSection csAsyncIOMgr;
}  // namespace

HRESULT AcquireAsyncIOMgr(CAsyncIOMgr** ppMgr)
{
    return AcquireShared(csAsyncIOMgr, pGlobalAsyncIOMgr, nAsyncIOMgrRefs, ppMgr);
}

int ReleaseAsyncIOMgr(CAsyncIOMgr* pAsyncIOMgr)
{
    VANTREL_ASSERT(pAsyncIOMgr == pGlobalAsyncIOMgr);
    ReleaseShared(csAsyncIOMgr, pGlobalAsyncIOMgr, nAsyncIOMgrRefs, pAsyncIOMgr);
    return 0;
}

CTransaction::CTransaction(DWORD dwTransactionID, COPCGroup* pGroup, DWORD dwConnection)
    : m_dwTransactionID(dwTransactionID), m_pGroup(pGroup), m_dwConnection(dwConnection)
{
    m_pGroup->AddRef();
    m_pGroup->AddUse();
}

CTransaction::~CTransaction()
{
    // The use first: the reference may be the group's last.
    ReleaseGroupUse();
    m_pGroup->Release();
    if (m_dwTransactionID)
        g_idMgr.ReleaseId(m_dwTransactionID);
}

void CTransaction::ReleaseGroupUse()
{
    if (m_bHoldsUse) {
        m_bHoldsUse = false;
        m_pGroup->ReleaseUse();
    }
}

CReadTransaction::CReadTransaction(DWORD id, COPCGroup* group, DWORD connection, DWORD source, DWORD count,
                                   const OPCHANDLE* handles)
    : CTransaction(id, group, connection), m_dwSource(source), m_dwCount(count), m_phServer(handles, handles + count)
{
}

HRESULT CReadTransaction::Execute()
{
    return m_pGroup->ExecuteRead(m_dwConnection, m_dwSource, m_dwCount, m_phServer.data(), m_dwTransactionID);
}

CWriteTransaction::CWriteTransaction(DWORD id, COPCGroup* group, DWORD connection, DWORD count,
                                     const OPCHANDLE* handles)
    : CTransaction(id, group, connection), m_dwCount(count), m_phServer(handles, handles + count), m_pValues(count)
{
    for (auto& v : m_pValues)
        VariantInit(&v);
}

CWriteTransaction::~CWriteTransaction()
{
    for (auto& v : m_pValues)
        VariantClear(&v);
}

HRESULT CWriteTransaction::SetValues(const VARIANT* values)
{
    for (DWORD i = 0; i < m_dwCount; ++i) {
        HRESULT hr = VariantCopy(&m_pValues[i], const_cast<VARIANT*>(&values[i]));
        if (FAILED(hr))
            return hr;
    }
    return S_OK;
}

HRESULT CWriteTransaction::Execute()
{
    return m_pGroup->ExecuteWrite(m_dwConnection, m_dwCount, m_phServer.data(), m_pValues.data(), m_dwTransactionID);
}

CRefreshTransaction::CRefreshTransaction(DWORD id, COPCGroup* group, DWORD connection, DWORD source)
    : CTransaction(id, group, connection), m_dwSource(source)
{
}

HRESULT CRefreshTransaction::Execute() { return m_pGroup->Refresh(m_dwConnection, m_dwSource, m_dwTransactionID); }

CCallbackTransaction::CCallbackTransaction(Kind kind, DWORD cancelId, COPCGroup* group, DWORD clientId,
                                           DWORD maxAge)
    : CTransaction(cancelId, group, 0), m_kind(kind), m_dwClientID(clientId), m_dwMaxAge(maxAge)
{
}

CCallbackTransaction::~CCallbackTransaction()
{
    for (auto& v : m_values)
        VariantClear(&v);
}

HRESULT CCallbackTransaction::AddItem(OPCHANDLE hServer, OPCHANDLE hClient, DWORD maxAge, const VARIANT* value,
                                      const OPCITEMVQT* qualityTime)
{
    if (qualityTime && (qualityTime->bQualitySpecified || qualityTime->bTimeStampSpecified)) {
        m_qualityTimes.resize(m_servers.size(), OPCITEMVQT{});
        m_qualityTimes.push_back(*qualityTime);
        VariantInit(&m_qualityTimes.back().vDataValue);
    } else if (!m_qualityTimes.empty()) {
        m_qualityTimes.push_back(OPCITEMVQT{});
    }
    m_servers.push_back(hServer);
    m_clients.push_back(hClient);
    m_maxAges.push_back(maxAge);
    if (!value)
        return S_OK;
    m_values.emplace_back();
    VariantInit(&m_values.back());
    return VariantCopy(&m_values.back(), const_cast<VARIANT*>(value));
}

HRESULT CCallbackTransaction::Execute() { return m_pGroup->ExecuteCallbackTransaction(this); }

HRESULT CCallbackTransaction::OnCancel() { return m_pGroup->CancelCallbackTransaction(this); }

CAsyncIOMgr::CAsyncIOMgr()
    : m_hTerminateEvent(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
      m_hQueueEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr))
{
}

bool CAsyncIOMgr::Start()
{
    if (!m_hTerminateEvent || !m_hQueueEvent)
        return false;
    m_hThread = CreateThread(nullptr, 0, &CAsyncIOMgr::ThreadProc, this, 0, &m_dwThreadId);
    return m_hThread != nullptr;
}

CAsyncIOMgr::~CAsyncIOMgr()
{
    if (m_hThread) {
        SetEvent(m_hTerminateEvent);
        WaitForSingleObject(m_hThread, INFINITE);
        CloseHandle(m_hThread);
    }
    for (CTransaction* t : m_transactions)
        delete t;
    if (m_hTerminateEvent)
        CloseHandle(m_hTerminateEvent);
    if (m_hQueueEvent)
        CloseHandle(m_hQueueEvent);
}

void CAsyncIOMgr::QueueTransaction(CTransaction* pTransaction)
{
    CCsLock lock(m_cs);
    m_transactions.push_back(pTransaction);
    ++m_nTransactions;
    SetEvent(m_hQueueEvent);
}

void CAsyncIOMgr::QueueTransactionFirst(CTransaction* pTransaction)
{
    CCsLock lock(m_cs);
    // After those put first before it (they have no identifier), in order.
    auto it = m_transactions.begin();
    while (it != m_transactions.end() && (*it)->m_dwTransactionID == 0)
        ++it;
    m_transactions.insert(it, pTransaction);
    ++m_nTransactions;
    SetEvent(m_hQueueEvent);
}

CTransaction* CAsyncIOMgr::DequeueTransaction()
{
    CCsLock lock(m_cs);
    if (m_transactions.empty())
        return nullptr;
    CTransaction* t = m_transactions.front();
    m_transactions.pop_front();
    if (--m_nTransactions == 0)
        ResetEvent(m_hQueueEvent);
    return t;
}

CTransaction* CAsyncIOMgr::RemoveTransaction(DWORD dwTransactionID,
                                             const std::function<bool(const CTransaction&)>& accept)
{
    CCsLock lock(m_cs);
    if (dwTransactionID == 0)
        return nullptr;  // never an identifier
    for (auto it = m_transactions.begin(); it != m_transactions.end(); ++it) {
        if ((*it)->m_dwTransactionID == dwTransactionID && (!accept || accept(**it))) {
            CTransaction* t = *it;
            m_transactions.erase(it);
            if (--m_nTransactions == 0)
                ResetEvent(m_hQueueEvent);
            return t;
        }
    }
    return nullptr;
}

std::vector<CTransaction*> CAsyncIOMgr::TakeGroupTransactions(const COPCGroup* pGroup)
{
    CCsLock lock(m_cs);
    std::vector<CTransaction*> taken;
    for (auto it = m_transactions.begin(); it != m_transactions.end();) {
        if ((*it)->m_pGroup == pGroup) {
            taken.push_back(*it);
            it = m_transactions.erase(it);
            --m_nTransactions;
        } else {
            ++it;
        }
    }
    if (m_nTransactions == 0)
        ResetEvent(m_hQueueEvent);
    return taken;
}

LONG CAsyncIOMgr::QueuedCount()
{
    CCsLock lock(m_cs);
    return m_nTransactions;
}

bool CAsyncIOMgr::IsCallerInsideDelivery()
{
    if (!m_lExecuting)
        return false;
    GUID cid = GUID_NULL;
    if (FAILED(CoGetCurrentLogicalThreadId(&cid)) || IsEqualGUID(cid, GUID_NULL))
        return false;
    return IsEqualGUID(cid, m_cidWorker) != FALSE;
}

DWORD WINAPI CAsyncIOMgr::ThreadProc(void* param)
{
    auto* mgr = static_cast<CAsyncIOMgr*>(param);
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (FAILED(CoGetCurrentLogicalThreadId(&mgr->m_cidWorker)))
        mgr->m_cidWorker = GUID_NULL;
    HANDLE events[2] = {mgr->m_hTerminateEvent, mgr->m_hQueueEvent};
    for (;;) {
        DWORD result = WaitForMultipleObjects(2, events, FALSE, INFINITE);
        if (result == WAIT_OBJECT_0)
            break;
        if (result == WAIT_OBJECT_0 + 1) {
            if (CTransaction* t = mgr->DequeueTransaction()) {
                InterlockedExchange(&mgr->m_lExecuting, 1);
                t->Execute();
                delete t;
                InterlockedExchange(&mgr->m_lExecuting, 0);
            }
        }
    }
    while (CTransaction* t = mgr->DequeueTransaction())
        delete t;  // not carried out: no completion is sent
    CoUninitialize();
    return 0;
}
