// The OPC group object: state, items, I/O, advise connections.
#pragma once
#include "common/ComObject.h"
#include "common/OpcDefs.h"
#include "core/Locks.h"
#include "engine/Advise.h"
#include "engine/AsyncIO.h"
#include "engine/ConnectionPoint.h"
#include "engine/DeliveryGate.h"

#include <functional>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <vector>

class COPCItem;
class COPCServer;
class CUpdateScanMgr;

class COPCGroup final : public IOPCGroupStateMgt2,
                  public IOPCSyncIO2,
                  public IOPCAsyncIO,
                  public IOPCAsyncIO3,
                  public IOPCItemMgt,
                  public IDataObject,
                  public IConnectionPointContainer,
                  public IOPCItemDeadbandMgt,
                  public IOPCItemSamplingMgt {
public:
    COPCGroup();

    // IUnknown
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    // IConnectionPointContainer: one point, for IOPCDataCallback, one
    // connection (OPCGroupCallback.cpp)
    STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints** ppEnum) override;
    STDMETHODIMP FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) override;
    // One call on its way to the callback: copies, a reference on the sink
    // and one on the group.
    struct CCallbackDelivery {
        enum Kind { kDataChange, kReadComplete, kWriteComplete, kCancelComplete };
        Kind kind = kDataChange;
        DWORD transid = 0;
        COPCGroup* group = nullptr;
        std::vector<CConnectionPoint::Connection> sinks;
        std::vector<OPCHANDLE> clients;
        std::vector<VARIANT> values;
        std::vector<WORD> qualities;
        std::vector<FILETIME> times;
        std::vector<HRESULT> errors;
        OPCHANDLE hGroup = 0;
        ~CCallbackDelivery();
    };
    // What the last Update kept for the callback, if anything changed and a
    // callback is connected.
    std::unique_ptr<CCallbackDelivery> TakeCallbackDelivery();
    // Makes the callback's call outside every lock of the group. The scan
    // thread calls it after it rescheduled the group, the transactions after
    // they gave their group use back, so a client may remove the group or
    // change it from inside the callback.
    static void DeliverCallbacks(std::unique_ptr<CCallbackDelivery> delivery);
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    // IOPCGroupStateMgt
    STDMETHODIMP GetState(DWORD* pUpdateRate, BOOL* pActive, LPWSTR* ppName, LONG* pTimeBias,
                          FLOAT* pPercentDeadband, DWORD* pLCID, OPCHANDLE* phClientGroup,
                          OPCHANDLE* phServerGroup) override;
    STDMETHODIMP SetState(DWORD* pRequestedUpdateRate, DWORD* pRevisedUpdateRate, BOOL* pActive, LONG* pTimeBias,
                          FLOAT* pPercentDeadband, DWORD* pLCID, OPCHANDLE* phClientGroup) override;
    STDMETHODIMP SetName(LPCWSTR szName) override;
    STDMETHODIMP CloneGroup(LPCWSTR szName, REFIID riid, LPUNKNOWN* ppUnk) override;

    // IOPCGroupStateMgt2 (OPCGroupItems3.cpp)
    STDMETHODIMP SetKeepAlive(DWORD dwKeepAliveTime, DWORD* pdwRevisedKeepAliveTime) override;
    STDMETHODIMP GetKeepAlive(DWORD* pdwKeepAliveTime) override;

    // IOPCSyncIO
    STDMETHODIMP Read(OPCDATASOURCE dwSource, DWORD dwCount, OPCHANDLE* phServer, OPCITEMSTATE** ppItemValues,
                      HRESULT** ppErrors) override;
    STDMETHODIMP Write(DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues, HRESULT** ppErrors) override;

    // IOPCAsyncIO (overloads of IOPCSyncIO's Read and Write)
    STDMETHODIMP Read(DWORD dwConnection, OPCDATASOURCE dwSource, DWORD dwCount, OPCHANDLE* phServer,
                      DWORD* pTransactionID, HRESULT** ppErrors) override;
    STDMETHODIMP Write(DWORD dwConnection, DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues,
                       DWORD* pTransactionID, HRESULT** ppErrors) override;
    STDMETHODIMP Refresh(DWORD dwConnection, OPCDATASOURCE dwSource, DWORD* pTransactionID) override;
    STDMETHODIMP Cancel(DWORD dwTransactionID) override;

    // IOPCAsyncIO2 (OPCGroupAsync2.cpp)
    STDMETHODIMP Read(DWORD dwCount, OPCHANDLE* phServer, DWORD dwTransactionID, DWORD* pdwCancelID,
                      HRESULT** ppErrors) override;
    STDMETHODIMP Write(DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues, DWORD dwTransactionID,
                       DWORD* pdwCancelID, HRESULT** ppErrors) override;
    STDMETHODIMP Refresh2(OPCDATASOURCE dwSource, DWORD dwTransactionID, DWORD* pdwCancelID) override;
    STDMETHODIMP Cancel2(DWORD dwCancelID) override;
    STDMETHODIMP SetEnable(BOOL bEnable) override;
    STDMETHODIMP GetEnable(BOOL* pbEnable) override;
    // IOPCSyncIO2 and IOPCAsyncIO3 (OPCGroupIO3.cpp)
    STDMETHODIMP ReadMaxAge(DWORD dwCount, OPCHANDLE* phServer, DWORD* pdwMaxAge, VARIANT** ppvValues,
                            WORD** ppwQualities, FILETIME** ppftTimeStamps, HRESULT** ppErrors) override;
    STDMETHODIMP WriteVQT(DWORD dwCount, OPCHANDLE* phServer, OPCITEMVQT* pItemVQT, HRESULT** ppErrors) override;
    STDMETHODIMP ReadMaxAge(DWORD dwCount, OPCHANDLE* phServer, DWORD* pdwMaxAge, DWORD dwTransactionID,
                            DWORD* pdwCancelID, HRESULT** ppErrors) override;
    STDMETHODIMP WriteVQT(DWORD dwCount, OPCHANDLE* phServer, OPCITEMVQT* pItemVQT, DWORD dwTransactionID,
                          DWORD* pdwCancelID, HRESULT** ppErrors) override;
    STDMETHODIMP RefreshMaxAge(DWORD dwMaxAge, DWORD dwTransactionID, DWORD* pdwCancelID) override;

    // IOPCItemDeadbandMgt and IOPCItemSamplingMgt (OPCGroupItems3.cpp)
    STDMETHODIMP SetItemDeadband(DWORD dwCount, OPCHANDLE* phServer, FLOAT* pPercentDeadband,
                                 HRESULT** ppErrors) override;
    STDMETHODIMP GetItemDeadband(DWORD dwCount, OPCHANDLE* phServer, FLOAT** ppPercentDeadband,
                                 HRESULT** ppErrors) override;
    STDMETHODIMP ClearItemDeadband(DWORD dwCount, OPCHANDLE* phServer, HRESULT** ppErrors) override;
    STDMETHODIMP SetItemSamplingRate(DWORD dwCount, OPCHANDLE* phServer, DWORD* pdwRequestedSamplingRate,
                                     DWORD** ppdwRevisedSamplingRate, HRESULT** ppErrors) override;
    STDMETHODIMP GetItemSamplingRate(DWORD dwCount, OPCHANDLE* phServer, DWORD** ppdwSamplingRate,
                                     HRESULT** ppErrors) override;
    STDMETHODIMP ClearItemSamplingRate(DWORD dwCount, OPCHANDLE* phServer, HRESULT** ppErrors) override;
    STDMETHODIMP SetItemBufferEnable(DWORD dwCount, OPCHANDLE* phServer, BOOL* pbEnable, HRESULT** ppErrors) override;
    STDMETHODIMP GetItemBufferEnable(DWORD dwCount, OPCHANDLE* phServer, BOOL** ppbEnable,
                                     HRESULT** ppErrors) override;

    // Carry out and cancel a 2.0 transaction: the completion goes out after
    // the transaction gave its group use back.
    HRESULT ExecuteCallbackTransaction(CCallbackTransaction* t);
    HRESULT CancelCallbackTransaction(CCallbackTransaction* t);
    // The entry checks of the 2.0 and 3.0 asynchronous calls, in their
    // order: removed group, out-pointers (cleared), callback connection. On
    // success *ppMgr is the queue. ppErrors is unused without withErrors.
    HRESULT Async2Entry(DWORD* pdwCancelID, bool withErrors, HRESULT** ppErrors, CAsyncIOMgr** ppMgr);
    // What one item of a call brings: its error beyond its handle (S_OK to
    // queue it), its MaxAge (a read), its value (a write) and the quality
    // and time stamp written with it (a VQT write).
    using ItemOfCall =
        std::function<HRESULT(DWORD i, DWORD* maxAge, const VARIANT** value, const OPCITEMVQT** qualityTime)>;
    // Checks the handles into a new errors array and queues one transaction
    // for the items that are good; none good queues nothing (S_FALSE).
    HRESULT QueueCallbackItems(CAsyncIOMgr* mgr, CCallbackTransaction::Kind kind, DWORD dwCount,
                               const OPCHANDLE* phServer, DWORD dwTransactionID, DWORD* pdwCancelID,
                               HRESULT** ppErrors, const ItemOfCall& itemOf);
    // Queues a refresh of every active item (E_FAIL when there is none).
    HRESULT QueueRefresh(CAsyncIOMgr* mgr, DWORD dwMaxAge, DWORD dwTransactionID, DWORD* pdwCancelID);

    // IOPCItemMgt
    STDMETHODIMP AddItems(DWORD dwCount, OPCITEMDEF* pItemArray, OPCITEMRESULT** ppAddResults,
                          HRESULT** ppErrors) override;
    STDMETHODIMP ValidateItems(DWORD dwCount, OPCITEMDEF* pItemArray, BOOL bBlobUpdate,
                               OPCITEMRESULT** ppValidationResults, HRESULT** ppErrors) override;
    STDMETHODIMP RemoveItems(DWORD dwCount, OPCHANDLE* phServer, HRESULT** ppErrors) override;
    STDMETHODIMP SetActiveState(DWORD dwCount, OPCHANDLE* phServer, BOOL bActive, HRESULT** ppErrors) override;
    STDMETHODIMP SetClientHandles(DWORD dwCount, OPCHANDLE* phServer, OPCHANDLE* phClient,
                                  HRESULT** ppErrors) override;
    STDMETHODIMP SetDatatypes(DWORD dwCount, OPCHANDLE* phServer, VARTYPE* pRequestedDatatypes,
                              HRESULT** ppErrors) override;
    STDMETHODIMP CreateEnumerator(REFIID riid, LPUNKNOWN* ppUnk) override;

    // IDataObject
    STDMETHODIMP GetData(FORMATETC* pformatetcIn, STGMEDIUM* pmedium) override;
    STDMETHODIMP GetDataHere(FORMATETC* pformatetc, STGMEDIUM* pmedium) override;
    STDMETHODIMP QueryGetData(FORMATETC* pformatetc) override;
    STDMETHODIMP GetCanonicalFormatEtc(FORMATETC* pformatectIn, FORMATETC* pformatetcOut) override;
    STDMETHODIMP SetData(FORMATETC* pformatetc, STGMEDIUM* pmedium, BOOL fRelease) override;
    STDMETHODIMP EnumFormatEtc(DWORD dwDirection, IEnumFORMATETC** ppenumFormatEtc) override;
    STDMETHODIMP DAdvise(FORMATETC* pformatetc, DWORD advf, IAdviseSink* pAdvSink, DWORD* pdwConnection) override;
    STDMETHODIMP DUnadvise(DWORD dwConnection) override;
    STDMETHODIMP EnumDAdvise(IEnumSTATDATA** ppenumAdvise) override;

    // Services of the group for the server, the scan and the transactions.
    void SetServer(COPCServer* pServer) { m_pServer = pServer; }
    HRESULT SetActive(BOOL bActive);
    LONG AddUse();
    LONG ReleaseUse();
    BOOL Update(LONGLONG* pllDue);
    // The scan thread lets go of the group after Update: back into the
    // schedule when it is active (due at its next scan, or at once when
    // Update found it inactive), else only out of the thread's hands. Under
    // the group's lock, so that an activation or a new rate that came while
    // the thread held the group is seen. False: the group stays out, and the
    // schedule's use and reference are the caller's to give back.
    bool ReturnToSchedule(CUpdateScanMgr* mgr, bool scanned);
    HRESULT Refresh(DWORD dwConnection, DWORD dwSource, DWORD dwTransactionID);
    DWORD GetUpdateRate();
    COPCItem* GetItem(OPCHANDLE hServer);
    // The server's removal, in two steps: BeginRemoval under the server's
    // lock (removed, inactive, no callback left), then FinishRemoval outside
    // every lock (waits until the group's queued and running transactions
    // and its scan are done; with force, disconnects the clients; gives the
    // server's reference back).
    void BeginRemoval();
    HRESULT FinishRemoval(BOOL bForce);
    // After FinishRemoval, outside every lock: waits for a callback delivery
    // in progress, unless the caller is calling from inside it.
    void WaitForDeliveries() { m_deliveries.WaitIdle(); }
    OPCHANDLE GetServerHandle() const { return m_hServer; }
    // Gives the group a new name. nameId is the number of a generated name
    // (0 for a client's name); it belongs to the group from now on, whether
    // the rename succeeds or not.
    HRESULT Rename(const std::wstring& name, unsigned long nameId);
    std::wstring GetName();
    BOOL IsActive() const { return m_bActive; }
    BOOL IsRemoved() const { return m_bRemoved; }
    LONG PendingUses() const { return m_nUses; }

    // Reads from the cache; the device samples first every item (source
    // device) or, given MaxAges (one per item, source ignored), those whose
    // cached value is older than theirs.
    HRESULT ReadItems(DWORD dwSource, DWORD dwCount, const OPCHANDLE* phServer, OPCHANDLE* phClient,
                      VARIANT* pValues, WORD* pQualities, FILETIME* pTimeStamps, HRESULT* pErrors,
                      const DWORD* pMaxAge = nullptr);
    // Converts read values to their items' requested types: a failure is the
    // item's error, with VT_EMPTY and quality BAD.
    void ApplyRequestedTypes(DWORD dwCount, const OPCHANDLE* phServer, VARIANT* pValues, WORD* pQualities,
                             HRESULT* pErrors);
    HRESULT WriteItems(DWORD dwCount, const OPCHANDLE* phServer, VARIANT* pValues, OPCHANDLE* phClient,
                       HRESULT* pErrors);
    // Writes VQT records: one with a quality or a time stamp goes to the
    // device whole, the others are written together as WriteItems does. The
    // records are only read.
    HRESULT WriteVQTItems(DWORD dwCount, const OPCHANDLE* phServer, const OPCITEMVQT* pItemVQT,
                          OPCHANDLE* phClient, HRESULT* pErrors);
    HRESULT ExecuteRead(DWORD dwConnection, DWORD dwSource, DWORD dwCount, const OPCHANDLE* phServer,
                        DWORD dwTransactionID);
    HRESULT ExecuteWrite(DWORD dwConnection, DWORD dwCount, const OPCHANDLE* phServer, VARIANT* pValues,
                         DWORD dwTransactionID);

    HRESULT SendDataChange(HRESULT hrStatus, DWORD dwCount, const OPCHANDLE* phClient, const VARIANT* pValues,
                           const WORD* pQualities, const FILETIME* pTimeStamps);
    HRESULT SendReadComplete(DWORD dwConnection, DWORD dwTransactionID, DWORD dwCount, const OPCHANDLE* phClient,
                             const VARIANT* pValues, const WORD* pQualities, const FILETIME* pTimeStamps);
    HRESULT SendWriteComplete(DWORD dwConnection, DWORD dwTransactionID, DWORD dwCount, const OPCHANDLE* phClient,
                              const HRESULT* pErrors);

    // The active list, changed by items under the group lock.
    std::list<COPCItem*>::iterator AddActiveItem(COPCItem* pItem);
    void RemoveActiveItem(std::list<COPCItem*>::iterator pos);

    HANDLE m_hIdleEvent;
    volatile LONG m_nUses = 0;
    CCriticalSection m_cs;
    COPCServer* m_pServer = nullptr;
    std::map<OPCHANDLE, COPCItem*> m_items;
    BOOL m_bRemoved = FALSE;
    DWORD m_dwUpdateRate = 0;
    BOOL m_bActive = FALSE;
    std::wstring m_strName;
    LONG m_lTimeBias = 0;
    FLOAT m_fPercentDeadband = 0.0f;
    double m_dblDeadband = 0.0;
    DWORD m_dwLCID = 0;
    OPCHANDLE m_hClient = 0;
    OPCHANDLE m_hServer;
    unsigned long m_dwNameId = 0;  // the number of the generated name it bears, or 0
    std::list<COPCItem*> m_activeItems;
    CConnectionPoint m_cpData;
    CDeliveryGate m_deliveries;  // the callback deliveries in progress
    std::unique_ptr<CCallbackDelivery> m_pDelivery;  // under m_cs, from Update to DeliverCallbacks
    BOOL m_bCallbackEnabled = TRUE;  // SetEnable: the data changes with transaction ID 0
    DWORD m_dwKeepAlive = 0;         // ms; 0: no keep-alive callbacks
    LONGLONG m_llLastCallback = 0;   // when the last data change went to the callback (ticks)
    LONGLONG m_llNextScan = 0;       // the due time the last scan made, moved by rate changes (ticks)
    // What Update works in, kept from one update to the next (under m_cs).
    struct CUpdateScratch {
        std::vector<COPCItem*> items;
        std::vector<VARIANT> samples;
        std::vector<WORD> sampleQualities;
        std::vector<FILETIME> sampleTimes;
        std::vector<char> readable;
        std::vector<OPCHANDLE> clients;
        std::vector<VARIANT> values;
        std::vector<WORD> qualities;
        std::vector<FILETIME> times;
        std::vector<HRESULT> errors;
        void Resize(size_t n)
        {
            if (items.size() >= n)
                return;
            items.resize(n);
            samples.resize(n);
            sampleQualities.resize(n);
            sampleTimes.resize(n);
            readable.resize(n);
            clients.resize(n);
            values.resize(n);
            qualities.resize(n);
            times.resize(n);
            errors.resize(n);
        }
    } m_update;
    CAdvisoryConnectionMgr m_connData;
    CAdvisoryConnectionMgr m_connDataTime;
    CAdvisoryConnectionMgr m_connWriteComplete;

private:
    virtual ~COPCGroup();
    // Builds a block with writer and calls NotifyAll/NotifyConnection.
    HRESULT SendBlock(CAdvisoryConnectionMgr& mgr, HGLOBAL block, DWORD dwConnection, bool toAll);
    void DestroyItems();
    // Removal from inside a completion the I/O thread is delivering: the
    // group's queued transactions, carried out here.
    void CarryOutQueuedTransactions(CAsyncIOMgr* mgr);
    // Keeps a data change for the callback (under m_cs): the values are
    // taken over (left VT_EMPTY), the rest copied.
    void PrepareCallbackDelivery(DWORD dwCount, const OPCHANDLE* phClient, VARIANT* pValues,
                                 const WORD* pQualities, const FILETIME* pTimeStamps, const HRESULT* pErrors);
    // A delivery to the connected callback, or null when none is connected
    // (under m_cs).
    std::unique_ptr<CCallbackDelivery> NewCallbackDelivery(CCallbackDelivery::Kind kind, DWORD transid);
    // Reads the items for a 2.0 completion: values in each item's requested
    // type, a failed conversion an error of its item.
    void ReadForCallback(const std::vector<OPCHANDLE>& servers, const std::vector<DWORD>& maxAges,
                         CCallbackDelivery* d);
    // Keeps an empty data change for the callback when the keep-alive time
    // passed without one (under m_cs).
    void PrepareKeepAlive();

    CTracedRefCount m_refs;
};
