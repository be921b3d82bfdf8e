// A browse object over the address space, with a position of its own.
#pragma once
#include "common/ComObject.h"
#include "common/OpcDefs.h"

#include <string>
#include <vector>

class CAddrNode;
class CAddrSpace;

class COPCBrowseServerAddressSpace : public IOPCBrowseServerAddressSpace {
public:
    // Makes a new browse object at the root and queries it for riid. The
    // object holds a reference on pServer, whose identity it shares: its
    // IUnknown and every interface but its own are the server object's.
    static HRESULT Create(IUnknown* pServer, CAddrSpace* pSpace, REFIID riid, void** ppv);

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    STDMETHODIMP QueryOrganization(OPCNAMESPACETYPE* pNameSpaceType) override;
    STDMETHODIMP ChangeBrowsePosition(OPCBROWSEDIRECTION dwBrowseDirection, LPCWSTR szString) override;
    STDMETHODIMP BrowseOPCItemIDs(OPCBROWSETYPE dwBrowseFilterType, LPCWSTR szFilterCriteria,
                                  VARTYPE vtDataTypeFilter, DWORD dwAccessRightsFilter,
                                  LPENUMSTRING* ppIEnumString) override;
    STDMETHODIMP GetItemID(LPWSTR szItemDataID, LPWSTR* szItemID) override;
    STDMETHODIMP BrowseAccessPaths(LPCWSTR szItemID, LPENUMSTRING* ppIEnumString) override;

    // The names or item IDs below a node that pass the tests (the leaves'
    // data type too, when vt is not VT_EMPTY).
    static void CollectBrowseNames(const CAddrNode* node, DWORD browseType, const wchar_t* filter, DWORD rights,
                                   std::vector<std::wstring>* out, VARTYPE vt = VT_EMPTY);

    CAddrSpace* m_pSpace;
    CAddrNode* volatile m_pPosition;

private:
    COPCBrowseServerAddressSpace(IUnknown* pServer, CAddrSpace* pSpace);
    virtual ~COPCBrowseServerAddressSpace();
    CTracedRefCount m_refs;
    IUnknown* m_pServer;  // one reference; the address space lives while it does
};
