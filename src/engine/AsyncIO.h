// Asynchronous reads, writes and refreshes: transactions in one process-wide
// queue, carried out in arrival order by one worker thread.
#pragma once
#include "common/OpcDefs.h"
#include "core/Locks.h"

#include <functional>
#include <list>
#include <vector>

class COPCGroup;

class CTransaction {
public:
    CTransaction(DWORD dwTransactionID, COPCGroup* pGroup, DWORD dwConnection);
    virtual ~CTransaction();
    CTransaction(const CTransaction&) = delete;
    CTransaction& operator=(const CTransaction&) = delete;
    virtual HRESULT Execute() = 0;
    virtual HRESULT OnCancel() { return 0; }
    // A transaction that completes through the group's IOPCDataCallback.
    virtual bool IsCallback() const { return false; }
    // Gives the group use back early: before a completion calls out, so that
    // the client may remove the group from inside the callback.
    void ReleaseGroupUse();

    DWORD m_dwTransactionID;  // the server's: the 1.0 transaction ID, the 2.0 cancel ID
    COPCGroup* m_pGroup;  // one reference, held until destruction, and one use
    DWORD m_dwConnection;

private:
    bool m_bHoldsUse = true;
};

class CReadTransaction : public CTransaction {
public:
    CReadTransaction(DWORD id, COPCGroup* group, DWORD connection, DWORD source, DWORD count, const OPCHANDLE* handles);
    HRESULT Execute() override;
    DWORD m_dwSource;
    DWORD m_dwCount;
    std::vector<OPCHANDLE> m_phServer;
};

class CWriteTransaction : public CTransaction {
public:
    CWriteTransaction(DWORD id, COPCGroup* group, DWORD connection, DWORD count, const OPCHANDLE* handles);
    ~CWriteTransaction() override;
    // Copies the client's values; the failure of a copy is returned.
    HRESULT SetValues(const VARIANT* values);
    HRESULT Execute() override;
    DWORD m_dwCount;
    std::vector<OPCHANDLE> m_phServer;
    std::vector<VARIANT> m_pValues;
};

class CRefreshTransaction : public CTransaction {
public:
    CRefreshTransaction(DWORD id, COPCGroup* group, DWORD connection, DWORD source);
    HRESULT Execute() override;
    DWORD m_dwSource;
};

// A 2.0 read, write or refresh: the client's transaction ID comes back in the
// completion, through the group's IOPCDataCallback.
class CCallbackTransaction : public CTransaction {
public:
    // kCancelled: the OnCancelComplete of a transaction Cancel2 took (no
    // cancel ID of its own: it cannot be cancelled).
    enum Kind { kRead, kWrite, kRefresh, kCancelled };
    // maxAge: of a refresh (a read's are per item).
    CCallbackTransaction(Kind kind, DWORD cancelId, COPCGroup* group, DWORD clientId, DWORD maxAge);
    ~CCallbackTransaction() override;
    // Adds one item, with the client handle it had when the call came in,
    // its MaxAge (a read) or a copy of its value (a write), with the quality
    // and time stamp of a VQT write when given; the failure of a copy is
    // returned.
    HRESULT AddItem(OPCHANDLE hServer, OPCHANDLE hClient, DWORD maxAge, const VARIANT* value,
                    const OPCITEMVQT* qualityTime = nullptr);
    HRESULT Execute() override;
    HRESULT OnCancel() override;
    bool IsCallback() const override { return true; }

    Kind m_kind;
    DWORD m_dwClientID;
    DWORD m_dwMaxAge;
    std::vector<OPCHANDLE> m_servers;
    std::vector<DWORD> m_maxAges;
    std::vector<OPCHANDLE> m_clients;
    std::vector<VARIANT> m_values;
    // Empty unless an item came with a quality or a time stamp; then one
    // record per item (its vDataValue unused: the value is in m_values).
    std::vector<OPCITEMVQT> m_qualityTimes;
};

class CAsyncIOMgr {
public:
    CAsyncIOMgr();
    virtual ~CAsyncIOMgr();
    CAsyncIOMgr(const CAsyncIOMgr&) = delete;
    CAsyncIOMgr& operator=(const CAsyncIOMgr&) = delete;

    bool Start();
    void QueueTransaction(CTransaction* pTransaction);
    // Ahead of every queued client transaction (after the ones put there
    // before it): carried out as soon as the worker is free. Only for
    // transactions without an identifier.
    void QueueTransactionFirst(CTransaction* pTransaction);
    CTransaction* DequeueTransaction();
    // The queued transaction with the identifier, if accept (when given)
    // takes it.
    CTransaction* RemoveTransaction(DWORD dwTransactionID,
                                    const std::function<bool(const CTransaction&)>& accept = nullptr);
    // Every queued transaction of the group, in arrival order.
    std::vector<CTransaction*> TakeGroupTransactions(const COPCGroup* pGroup);
    LONG QueuedCount();
    // Whether the caller is inside a call out of the transaction the worker
    // is carrying out (COM carries the worker's causality ID into the calls
    // a client makes from inside the completion).
    bool IsCallerInsideDelivery();

    HANDLE m_hThread = nullptr;
    DWORD m_dwThreadId = 0;
    std::list<CTransaction*> m_transactions;
    LONG m_nTransactions = 0;
    CCriticalSection m_cs;
    HANDLE m_hTerminateEvent;
    HANDLE m_hQueueEvent;

private:
    static DWORD WINAPI ThreadProc(void* param);
    GUID m_cidWorker = GUID_NULL;     // the worker's causality ID, set before it takes any work
    volatile LONG m_lExecuting = 0;   // a transaction is being carried out
};

extern CAsyncIOMgr* pGlobalAsyncIOMgr;
HRESULT AcquireAsyncIOMgr(CAsyncIOMgr** ppMgr);
int ReleaseAsyncIOMgr(CAsyncIOMgr* pAsyncIOMgr);
