// The OPC server object.
#pragma once
#include "common/ComObject.h"
#include "common/OpcDefs.h"
#include "core/Locks.h"
#include "engine/ConnectionPoint.h"

#include <atomic>
#include <map>
#include <string>

class CAddrSpace;
class CAsyncIOMgr;
class COPCGroup;
class CUpdateScanMgr;

class COPCServer : public IOPCServer,
                   public IOPCCommon,
                   public IOPCItemProperties,
                   public IOPCBrowse,
                   public IOPCItemIO,
                   public IConnectionPointContainer {
public:
    // The instance maker of the class factory: plain when pUnkOuter is null,
    // aggregated otherwise (the caller has checked riid for aggregation).
    static HRESULT CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppv);

    // IUnknown (delegates to the outer unknown when aggregated)
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    // IOPCServer
    STDMETHODIMP AddGroup(LPCWSTR szName, BOOL bActive, DWORD dwRequestedUpdateRate,
                          OPCHANDLE hClientGroup, LONG* pTimeBias, FLOAT* pPercentDeadband,
                          DWORD dwLCID, OPCHANDLE* phServerGroup, DWORD* pRevisedUpdateRate,
                          REFIID riid, LPUNKNOWN* ppUnk) override;
    STDMETHODIMP GetErrorString(HRESULT dwError, LCID dwLocale, LPWSTR* ppString) override;
    STDMETHODIMP GetGroupByName(LPCWSTR szName, REFIID riid, LPUNKNOWN* ppUnk) override;
    STDMETHODIMP GetStatus(OPCSERVERSTATUS** ppServerStatus) override;
    STDMETHODIMP RemoveGroup(OPCHANDLE hServerGroup, BOOL bForce) override;
    STDMETHODIMP CreateGroupEnumerator(OPCENUMSCOPE dwScope, REFIID riid, LPUNKNOWN* ppUnk) override;

    // IOPCCommon (OPCSrvrCommon.cpp)
    STDMETHODIMP SetLocaleID(LCID dwLcid) override;
    STDMETHODIMP GetLocaleID(LCID* pdwLcid) override;
    STDMETHODIMP QueryAvailableLocaleIDs(DWORD* pdwCount, LCID** pdwLcid) override;
    STDMETHODIMP GetErrorString(HRESULT dwError, LPWSTR* ppString) override;
    STDMETHODIMP SetClientName(LPCWSTR szName) override;
    std::wstring ClientName();

    // IConnectionPointContainer: one point, for IOPCShutdown (OPCSrvrCommon.cpp)
    STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints** ppEnum) override;
    STDMETHODIMP FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) override;
    // Calls ShutdownRequest(reason) on every advised IOPCShutdown, outside
    // every lock of the server; a sink that fails is dropped.
    void RequestShutdown(LPCWSTR reason);
    // RequestShutdown on every server object of the process.
    static void RequestShutdownOfAll(LPCWSTR reason);

    // IOPCItemProperties (OPCItemProperties.cpp)
    STDMETHODIMP QueryAvailableProperties(LPWSTR szItemID, DWORD* pdwCount, DWORD** ppPropertyIDs,
                                          LPWSTR** ppDescriptions, VARTYPE** ppvtDataTypes) override;
    STDMETHODIMP GetItemProperties(LPWSTR szItemID, DWORD dwCount, DWORD* pdwPropertyIDs, VARIANT** ppvData,
                                   HRESULT** ppErrors) override;
    STDMETHODIMP LookupItemIDs(LPWSTR szItemID, DWORD dwCount, DWORD* pdwPropertyIDs, LPWSTR** ppszNewItemIDs,
                               HRESULT** ppErrors) override;

    // IOPCBrowse (OPCSrvrBrowse.cpp)
    STDMETHODIMP GetProperties(DWORD dwItemCount, LPWSTR* pszItemIDs, BOOL bReturnPropertyValues,
                               DWORD dwPropertyCount, DWORD* pdwPropertyIDs,
                               OPCITEMPROPERTIES** ppItemProperties) override;
    STDMETHODIMP Browse(LPWSTR szItemID, LPWSTR* pszContinuationPoint, DWORD dwMaxElementsReturned,
                        OPCBROWSEFILTER dwBrowseFilter, LPWSTR szElementNameFilter, LPWSTR szVendorFilter,
                        BOOL bReturnAllProperties, BOOL bReturnPropertyValues, DWORD dwPropertyCount,
                        DWORD* pdwPropertyIDs, BOOL* pbMoreElements, DWORD* pdwCount,
                        OPCBROWSEELEMENT** ppBrowseElements) override;

    // IOPCItemIO (OPCSrvrItemIO.cpp)
    STDMETHODIMP Read(DWORD dwCount, LPCWSTR* pszItemIDs, DWORD* pdwMaxAge, VARIANT** ppvValues,
                      WORD** ppwQualities, FILETIME** ppftTimeStamps, HRESULT** ppErrors) override;
    STDMETHODIMP WriteVQT(DWORD dwCount, LPCWSTR* pszItemIDs, OPCITEMVQT* pItemVQT, HRESULT** ppErrors) override;

    // Lifecycle hooks of the creator and destroyer.
    HRESULT OnCreate();
    void OnLastRelease();

    // The interface table without trace or delegation.
    HRESULT InternalQueryInterface(REFIID riid, void** ppv);

    FILETIME StartTime() const { return m_ftStartTime; }

    // Offered to the groups of this server.
    CUpdateScanMgr* ScanMgr() const { return m_pUpdateScanMgr; }
    CAsyncIOMgr* AsyncIOMgr() const { return m_pAsyncIOMgr; }
    // Checks the new name, drops the old one and enters the new one, all
    // under one hold of the name table; sets the group's name.
    HRESULT RenameGroup(COPCGroup* pGroup, const std::wstring& oldName, const std::wstring& newName);
    // A scan sent a data change: no lock is taken, so a scan never waits for
    // a removal that waits for the scan.
    void RecordLastUpdateTime();

    // The process-wide address space, shared by every server object.
    static CAddrSpace* AddressSpace();

protected:
    explicit COPCServer(IUnknown* pUnkOuter);
    virtual ~COPCServer();

private:
    friend class CServerAggregate;

    // Under m_csServer: unlinks a group and begins its removal; *ppRemoved
    // gets a reference on it for the rest of the removal, which happens
    // outside the server's lock.
    HRESULT DetachGroupLocked(OPCHANDLE hServerGroup, COPCGroup** ppRemoved);
    // The process's server objects, for RequestShutdownOfAll; an object
    // leaves the list before its count can rise again.
    void Enlist();
    void Unlist();

    CTracedRefCount m_refs;
    IUnknown* m_pUnkOuter;  // not owned; set when aggregated

    CUpdateScanMgr* m_pUpdateScanMgr = nullptr;
    CAsyncIOMgr* m_pAsyncIOMgr = nullptr;
    CCriticalSection m_csServer;
    FILETIME m_ftStartTime{};
    std::atomic<unsigned long long> m_ftLastUpdateTime{0};
    DWORD m_dwGroupCount = 0;
    CCriticalSection m_csGroups;
    std::map<std::wstring, COPCGroup*> m_groupsByName;
    std::map<OPCHANDLE, COPCGroup*> m_groupsByHandle;
    bool m_bSharesTaken = false;
    // The session of IOPCCommon, under m_csServer.
    LCID m_lcidSession = LOCALE_SYSTEM_DEFAULT;
    std::wstring m_strClientName;
    CConnectionPoint m_cpShutdown;

    static CCriticalSection m_csAddrSpace;
    static DWORD m_dwAddrSpaceRefs;
    static CAddrSpace* m_pAddrSpace;
};
