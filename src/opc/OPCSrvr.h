// The OPC server object.
#pragma once
#include "common/OpcDefs.h"
#include "core/Locks.h"

class COPCServer : public IOPCServer {
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

    // Lifecycle hooks of the creator and destroyer.
    HRESULT OnCreate();
    void OnLastRelease();

    // The interface table without trace or delegation.
    HRESULT InternalQueryInterface(REFIID riid, void** ppv);

    FILETIME StartTime() const { return m_ftStartTime; }

protected:
    explicit COPCServer(IUnknown* pUnkOuter);
    virtual ~COPCServer();

private:
    friend class CServerAggregate;

    LONG m_cRef = 0;
    IUnknown* m_pUnkOuter;  // not owned; set when aggregated

    CCriticalSection m_csServer;
    FILETIME m_ftStartTime{};
    FILETIME m_ftLastUpdateTime{};
    DWORD m_dwGroupCount = 0;
};
