// Asynchronous reads, writes and refreshes: transactions in one process-wide
// queue, carried out in arrival order by one worker thread.
#pragma once
#include "common/OpcDefs.h"
#include "core/Locks.h"

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

    DWORD m_dwTransactionID;
    COPCGroup* m_pGroup;  // one reference and one use, held until destruction
    DWORD m_dwConnection;
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

class CAsyncIOMgr {
public:
    CAsyncIOMgr();
    virtual ~CAsyncIOMgr();
    CAsyncIOMgr(const CAsyncIOMgr&) = delete;
    CAsyncIOMgr& operator=(const CAsyncIOMgr&) = delete;

    bool Start();
    void QueueTransaction(CTransaction* pTransaction);
    CTransaction* DequeueTransaction();
    CTransaction* RemoveTransaction(DWORD dwTransactionID);
    LONG QueuedCount();

    HANDLE m_hThread = nullptr;
    DWORD m_dwThreadId = 0;
    std::list<CTransaction*> m_transactions;
    LONG m_nTransactions = 0;
    CCriticalSection m_cs;
    HANDLE m_hTerminateEvent;
    HANDLE m_hQueueEvent;

private:
    static DWORD WINAPI ThreadProc(void* param);
};

extern CAsyncIOMgr* pGlobalAsyncIOMgr;
HRESULT AcquireAsyncIOMgr(CAsyncIOMgr** ppMgr);
int ReleaseAsyncIOMgr(CAsyncIOMgr* pAsyncIOMgr);
