#include "opc/Browse.h"

#include "common/ComObject.h"
#include "common/ComUtil.h"
#include "common/Trace.h"
#include "core/AddrSpace.h"
#include "host/ClientWatch.h"
#include "host/Module.h"
#include "opc/ComEnum.h"

#include <algorithm>
#include <new>

namespace {
const wchar_t kTraceName[] = L"COPCBrowseServerAddressSpace";

bool PassesTests(const CAddrNode* child, DWORD browseType, const wchar_t* filter, DWORD rights, VARTYPE vt)
{
    bool typeOk = (browseType == OPC_BRANCH && child->IsBranch()) ||
                  ((browseType == OPC_LEAF || browseType == OPC_FLAT) && !child->IsBranch());
    return typeOk && MatchFilter(child->Name(), filter) &&
           (rights == 0 || (child->m_dwAccessRights & rights) == rights) &&
           (vt == VT_EMPTY || child->IsBranch() || child->m_vtDataType == vt);
}

// A sorted string enumerator over names; S_FALSE when there are none.
HRESULT MakeStringEnum(std::vector<std::wstring> names, LPENUMSTRING* ppEnum, bool emptyGivesEnumerator)
{
    std::sort(names.begin(), names.end());  // by code units
    auto snapshot = std::make_shared<CComEnumString::Snapshot>();
    for (const auto& n : names) {
        wchar_t* copy = TaskMemStrDup(n.c_str());
        if (!copy)
            return E_OUTOFMEMORY;
        snapshot->items.push_back(copy);
    }
    if (names.empty() && !emptyGivesEnumerator)
        return S_FALSE;
    CComEnumString* e = CComEnumString::Create(snapshot);
    if (!e)
        return E_OUTOFMEMORY;
    HRESULT hr = e->QueryInterface(IID_IEnumString, reinterpret_cast<void**>(ppEnum));
    if (FAILED(hr))
        return hr;
    return names.empty() ? S_FALSE : S_OK;
}
}  // namespace

COPCBrowseServerAddressSpace::COPCBrowseServerAddressSpace(IUnknown* pServer, CAddrSpace* pSpace)
    : m_pSpace(pSpace), m_pPosition(pSpace ? pSpace->m_pRoot : nullptr), m_pServer(pServer)
{
    m_pServer->AddRef();
    LockModule();
    TrackClientObject(static_cast<IOPCBrowseServerAddressSpace*>(this), &m_refs, kTraceName);
}

COPCBrowseServerAddressSpace::~COPCBrowseServerAddressSpace()
{
    UntrackClientObject(static_cast<IOPCBrowseServerAddressSpace*>(this));
    DebugTrace(L"COPCBrowseServerAddressSpace destructing\n");
    m_pServer->Release();
    UnlockModule();
}

HRESULT COPCBrowseServerAddressSpace::Create(IUnknown* pServer, CAddrSpace* pSpace, REFIID riid, void** ppv)
{
    *ppv = nullptr;
    if (!pSpace)
        return E_OUTOFMEMORY;  // the address space could not be built
    auto* browse = new (std::nothrow) COPCBrowseServerAddressSpace(pServer, pSpace);
    if (!browse)
        return E_OUTOFMEMORY;
    browse->AddRef();
    HRESULT hr = browse->QueryInterface(riid, ppv);
    browse->Release();
    return hr;
}

STDMETHODIMP COPCBrowseServerAddressSpace::QueryInterface(REFIID riid, void** ppv)
{
    // One COM object with the server: the server answers IUnknown and its
    // own interfaces; this object keeps its browse position.
    if (ppv && riid != IID_IOPCBrowseServerAddressSpace)
        return m_pServer->QueryInterface(riid, ppv);
    return QueryInterfaceTable(kTraceName, riid, ppv, {{&IID_IOPCBrowseServerAddressSpace, this}});
}

STDMETHODIMP_(ULONG) COPCBrowseServerAddressSpace::AddRef() { return m_refs.Increment(kTraceName, this); }

STDMETHODIMP_(ULONG) COPCBrowseServerAddressSpace::Release()
{
    LONG count = m_refs.Decrement(kTraceName, this);
    if (count == 0)
        delete this;
    return count;
}

STDMETHODIMP COPCBrowseServerAddressSpace::QueryOrganization(OPCNAMESPACETYPE* pNameSpaceType)
{
    if (!IsWritableOut(pNameSpaceType))
        return E_INVALIDARG;
    *pNameSpaceType = static_cast<OPCNAMESPACETYPE>(m_pSpace->GetOrganization());
    return S_OK;
}

STDMETHODIMP COPCBrowseServerAddressSpace::ChangeBrowsePosition(OPCBROWSEDIRECTION dwBrowseDirection,
                                                                LPCWSTR szString)
{
    if (m_pSpace->GetOrganization() == OPC_NS_FLAT)
        return E_FAIL;
    CAddrNode* position = m_pPosition;
    switch (dwBrowseDirection) {
    case OPC_BROWSE_UP:
        if (szString && *szString)
            return E_INVALIDARG;
        if (FAILED(m_pSpace->MoveUp(&position)))
            return E_FAIL;
        break;
    case OPC_BROWSE_DOWN:
        if (!szString || !*szString)
            return E_INVALIDARG;
        if (FAILED(m_pSpace->MoveDown(szString, &position)))
            return E_FAIL;
        break;
    default:
        return E_INVALIDARG;
    }
    m_pPosition = position;
    return S_OK;
}

void COPCBrowseServerAddressSpace::CollectBrowseNames(const CAddrNode* node, DWORD browseType, const wchar_t* filter,
                                                      DWORD rights, std::vector<std::wstring>* out, VARTYPE vt)
{
    if (!node->m_pChildren)
        return;
    for (const CAddrNode* child : *node->m_pChildren) {
        bool passes = PassesTests(child, browseType, filter, rights, vt);
        if (browseType == OPC_BRANCH || browseType == OPC_LEAF) {
            if (passes)
                out->push_back(child->Name());
        } else if (browseType == OPC_FLAT) {
            if (passes)
                out->push_back(child->ComposeItemID());
            CollectBrowseNames(child, browseType, filter, rights, out, vt);
        }
    }
}

STDMETHODIMP COPCBrowseServerAddressSpace::BrowseOPCItemIDs(OPCBROWSETYPE dwBrowseFilterType, LPCWSTR szFilterCriteria,
                                                            VARTYPE vtDataTypeFilter, DWORD dwAccessRightsFilter,
                                                            LPENUMSTRING* ppIEnumString)
{
    if (!IsWritableOut(ppIEnumString))
        return E_INVALIDARG;
    *ppIEnumString = nullptr;
    const wchar_t* filter = (szFilterCriteria && *szFilterCriteria) ? szFilterCriteria : L"*";
    if (dwAccessRightsFilter & ~static_cast<DWORD>(OPC_READABLE | OPC_WRITEABLE))
        return E_INVALIDARG;
    return ComBoundary([&]() -> HRESULT {
        std::vector<std::wstring> names;
        CollectBrowseNames(m_pPosition, dwBrowseFilterType, filter, dwAccessRightsFilter, &names,
                           m_pSpace->m_bFilterByType ? vtDataTypeFilter : static_cast<VARTYPE>(VT_EMPTY));
        return MakeStringEnum(std::move(names), ppIEnumString, true);
    });
}

STDMETHODIMP COPCBrowseServerAddressSpace::GetItemID(LPWSTR szItemDataID, LPWSTR* szItemID)
{
    if (!IsWritableOut(szItemID))
        return E_INVALIDARG;
    *szItemID = nullptr;
    return m_pSpace->GetItemID(m_pPosition, szItemDataID, szItemID);
}

STDMETHODIMP COPCBrowseServerAddressSpace::BrowseAccessPaths(LPCWSTR szItemID, LPENUMSTRING* ppIEnumString)
{
    if (!IsWritableOut(ppIEnumString))
        return E_INVALIDARG;
    *ppIEnumString = nullptr;
    return ComBoundary([&]() -> HRESULT {
        if (!szItemID || !*szItemID)
            return E_INVALIDARG;
        CAddrNode* node = m_pSpace->m_pRoot->FindByItemID(szItemID);
        if (!node)
            return E_INVALIDARG;
        std::vector<std::wstring> paths;
        for (const CAddrNode* n = node; n && n->m_pParent; n = n->m_pParent) {
            if (n->m_szAccessPath && *n->m_szAccessPath)
                paths.push_back(n->m_szAccessPath);
        }
        return MakeStringEnum(std::move(paths), ppIEnumString, false);
    });
}
