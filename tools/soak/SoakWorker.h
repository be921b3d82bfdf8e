// vantrel-soak: the worker side. A worker process runs a seeded random mix
// of every client operation against the server and checks what comes back.
#pragma once
#include "common/OpcDefs.h"

#include <objbase.h>
#include <ocidl.h>
#include <psapi.h>
#include <tlhelp32.h>
#include <wrl/client.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cwchar>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace soak {

using Microsoft::WRL::ComPtr;

struct Counters {
    long calls = 0, violations = 0, asyncIssued = 0, completed = 0, cancelled = 0, lost = 0, twice = 0,
         dataBlocks = 0, lateItems = 0, backwards = 0, callbackCalls = 0, async2Issued = 0, latestMs = 0,
         neverDelivered = 0;
};

extern std::mutex g_log;
extern bool g_mainOnly;  // every group on the main class
extern Counters g_counters;
extern UINT g_cfData, g_cfTime, g_cfWrite;  // the three stream formats

void Violation(const char* what, HRESULT hr = S_OK);
// A data change (transaction 0) from the main (false) or the test server:
// the longest time either server went without one is reported.
void NoteDataChange(bool test);
// Milliseconds since the server's last data change to this client.
DWORD SinceDataChange(bool test);

// Checks a result against the codes the call may return.
void Check(const char* call, HRESULT hr, std::initializer_list<HRESULT> allowed);

struct GroupState;

// The sink of one group: records completions and data deliveries.
class Sink : public IAdviseSink {
public:
    explicit Sink(GroupState* g) : m_group(g) {}
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (riid == IID_IUnknown || riid == IID_IAdviseSink) {
            *ppv = static_cast<IAdviseSink*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&m_refs); }
    STDMETHODIMP_(ULONG) Release() override
    {
        LONG n = InterlockedDecrement(&m_refs);
        if (n == 0)
            delete this;
        return n;
    }
    STDMETHODIMP_(void) OnDataChange(FORMATETC* fe, STGMEDIUM* medium) override;
    STDMETHODIMP_(void) OnViewChange(DWORD, LONG) override {}
    STDMETHODIMP_(void) OnRename(IMoniker*) override {}
    STDMETHODIMP_(void) OnSave() override {}
    STDMETHODIMP_(void) OnClose() override {}

private:
    virtual ~Sink() = default;
    LONG m_refs = 1;
    GroupState* m_group;
};

// The 2.0 callback of one group: records data changes and completions
// (SoakWorkerDa2.cpp).
class Callback : public IOPCDataCallback {
public:
    explicit Callback(GroupState* g) : m_group(g) {}
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (riid == IID_IUnknown || riid == IID_IOPCDataCallback) {
            *ppv = static_cast<IOPCDataCallback*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&m_refs); }
    STDMETHODIMP_(ULONG) Release() override
    {
        LONG n = InterlockedDecrement(&m_refs);
        if (n == 0)
            delete this;
        return n;
    }
    STDMETHODIMP OnDataChange(DWORD dwTransid, OPCHANDLE hGroup, HRESULT hrMasterquality, HRESULT hrMastererror,
                              DWORD dwCount, OPCHANDLE* phClientItems, VARIANT* pvValues, WORD* pwQualities,
                              FILETIME* pftTimeStamps, HRESULT* pErrors) override;
    STDMETHODIMP OnReadComplete(DWORD dwTransid, OPCHANDLE hGroup, HRESULT hrMasterquality, HRESULT hrMastererror,
                                DWORD dwCount, OPCHANDLE* phClientItems, VARIANT* pvValues, WORD* pwQualities,
                                FILETIME* pftTimeStamps, HRESULT* pErrors) override;
    STDMETHODIMP OnWriteComplete(DWORD dwTransid, OPCHANDLE hGroup, HRESULT hrMastererr, DWORD dwCount,
                                 OPCHANDLE* pClienthandles, HRESULT* pErrors) override;
    STDMETHODIMP OnCancelComplete(DWORD dwTransid, OPCHANDLE hGroup) override;

private:
    virtual ~Callback() = default;
    void Completed(DWORD tid, OPCHANDLE hGroup);
    LONG m_refs = 1;
    GroupState* m_group;
};

// Values to write, cleared when they go.
struct ValueList {
    std::vector<VARIANT> v;
    ValueList() = default;
    ValueList(ValueList&&) = default;
    ValueList& operator=(ValueList&&) = default;
    ~ValueList()
    {
        for (VARIANT& x : v)
            VariantClear(&x);
    }
    VARIANT* data() { return v.data(); }
};

struct ItemState {
    OPCHANDLE hServer, hClient;
    bool active;
    std::wstring id;     // for the report of a late item
    VARTYPE requested;
};

struct GroupState {
    IOPCServer* server = nullptr;    // the worker's main or test server object
    bool test = false;               // of the test server: its typed items
    OPCHANDLE hServer = 0;
    ComPtr<IOPCGroupStateMgt> state;
    ComPtr<IOPCItemMgt> items;
    ComPtr<IOPCSyncIO> sync;
    ComPtr<IOPCAsyncIO> async;
    ComPtr<IDataObject> data;
    Sink* sink = nullptr;
    DWORD cData = 0, cTime = 0, cWrite = 0;
    ComPtr<IOPCAsyncIO2> async2;
    ComPtr<IConnectionPoint> point;  // the group's IOPCDataCallback point
    Callback* callback = nullptr;
    DWORD cookie = 0;                // its connection, 0 when none
    bool enabled = true;             // SetEnable
    bool active = false;
    DWORD rate = 100;
    std::vector<ItemState> list;

    std::mutex m;
    std::set<DWORD> pending;                   // transactions started and not yet accounted for
    std::map<DWORD, int> completions;          // transaction id -> completions seen (may come
                                               // before the call that started it returns)
    std::set<DWORD> cancelledIds;
    std::map<DWORD, DWORD> cancelIdOf;         // 2.0: client transaction ID -> cancel ID
    std::set<DWORD> cancelNotices;             // 2.0: OnCancelComplete seen
    std::map<OPCHANDLE, ULONGLONG> lastTime;   // per client handle
    // Expected deliveries: client handle -> (tick from which a delivery
    // counts, tick by which it must have come). A delivery may arrive before
    // the call that caused it returns, so the sink only notes the time.
    struct Expectation {
        DWORD since, dueBy;
        bool late;  // reported late, still watched for the delivery
    };
    std::map<OPCHANDLE, Expectation> expectBy;
    std::map<OPCHANDLE, DWORD> deliveredAt;
    DWORD anyDeliveryAt = 0;  // the group's latest delivery of any item
};

class Worker {
public:
    Worker(unsigned seed) : m_rng(seed) {}

    int Run(double seconds);

private:
    int Rand(int n) { return static_cast<int>(m_rng() % static_cast<unsigned>(n)); }

    GroupState* AnyGroup() { return m_groups.empty() ? nullptr : m_groups[Rand(static_cast<int>(m_groups.size()))].get(); }

    // An item ID for the group's server: a set item, an unknown one, or one
    // of the test server's typed, random and fault items.
    std::wstring RandomItemId(const GroupState& g);
    void Step();
    void AddGroup();

    // Waits for a group's outstanding transactions (completions come quickly).
    void Drain(GroupState& g);
    void Finish(GroupState& g, bool force);
    void RemoveGroup();

    // since: the tick at which the call that activated the item began.
    void ExpectFirstDelivery(GroupState& g, const ItemState& item, DWORD since);
    void AddItems();
    void RemoveItems();
    void SetActiveState();
    void SetState();
    void Rename();
    void Clone();
    void Advise();
    void Unadvise();

    // Some of a group's handles; never empty (a count of 0 still needs an
    // array on the wire), so a group without items gets a stale handle.
    std::vector<OPCHANDLE> SomeHandles(GroupState& g, bool withStale);
    void SyncRead();
    // Values to write: set parameters, or values of every type and arrays
    // for the test server.
    ValueList Values(const GroupState& g, size_t n);
    void SyncWrite();
    void AsyncOp();
    // The 2.0 operations: callback connection, IOPCAsyncIO2, SetEnable
    // (SoakWorkerDa2.cpp).
    void AdviseCallback(GroupState& g);
    void UnadviseCallback(GroupState& g);
    void Async2Op(GroupState& g);
    void Browse();
    void CheckDeliveries();

    std::mt19937 m_rng;
    ComPtr<IOPCServer> m_server;
    ComPtr<IOPCServer> m_testServer;
    std::vector<std::unique_ptr<GroupState>> m_groups;
    OPCHANDLE m_nextClient = 1000;
    DWORD m_nextTid = 0x40000000;  // 2.0 transaction IDs, apart from the server's
};

// The worker process: runs for seconds, prints its SUMMARY line; exit code
// 0 when none of its checks failed.
int WorkerMain(unsigned seed, double seconds);

}  // namespace soak
