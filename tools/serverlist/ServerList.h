// The OPC server list: IOPCServerList and IOPCServerList2 over the machine's
// component categories, as OPC clients use them to list and find servers.
#pragma once
#include "common/ComObject.h"
#include "common/OpcDefs.h"

#include <vector>

class COPCServerList : public IOPCServerList, public IOPCServerList2 {
public:
    // The class's instance maker (no aggregation across processes).
    static HRESULT CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppv);

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    // IOPCServerList
    STDMETHODIMP EnumClassesOfCategories(ULONG cImplemented, CATID rgcatidImpl[], ULONG cRequired,
                                         CATID rgcatidReq[], IEnumGUID** ppenumClsid) override;
    STDMETHODIMP GetClassDetails(REFCLSID clsid, LPWSTR* ppszProgID, LPWSTR* ppszUserType) override;
    STDMETHODIMP CLSIDFromProgID(LPCWSTR szProgId, LPCLSID clsid) override;
    // IOPCServerList2
    STDMETHODIMP EnumClassesOfCategories(ULONG cImplemented, CATID rgcatidImpl[], ULONG cRequired,
                                         CATID rgcatidReq[], IOPCEnumGUID** ppenumClsid) override;
    STDMETHODIMP GetClassDetails(REFCLSID clsid, LPWSTR* ppszProgID, LPWSTR* ppszUserType,
                                 LPWSTR* ppszVerIndProgID) override;

private:
    COPCServerList();
    virtual ~COPCServerList();
    // The classes of the categories, from the platform's category manager.
    HRESULT Classes(ULONG cImplemented, CATID rgcatidImpl[], ULONG cRequired, CATID rgcatidReq[],
                    std::vector<GUID>* out);
    CTracedRefCount m_refs;
};
