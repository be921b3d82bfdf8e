// The test server's tree: set1 to set4 with their five leaves, then echo,
// random (each with an array branch) and faults, every leaf a real item ID
// with its item's type and rights.
#include "core/AddrSpace.h"
#include "sim/SimItems.h"
#include "sim/TestDevice.h"

#include <cwchar>
#include <map>
#include <string>

namespace {
// The branch for the item ID's parts before its last one, made as needed.
CAddrNode* BranchFor(CAddrSpace& space, std::map<std::wstring, CAddrNode*>& branches, const std::wstring& itemID)
{
    CAddrNode* parent = space.m_pRoot;
    std::wstring path;
    size_t start = 0;
    for (size_t dot = itemID.find(L'.'); dot != std::wstring::npos; dot = itemID.find(L'.', start)) {
        const std::wstring part = itemID.substr(start, dot - start);
        path += (path.empty() ? L"" : L".") + part;
        auto it = branches.find(path);
        if (it == branches.end()) {
            if (FAILED(space.AddNode(parent, OPC_READABLE | OPC_WRITEABLE, VT_EMPTY, L".", part.c_str(),
                                     part.c_str(), nullptr, 1)))
                return nullptr;
            it = branches.emplace(path, parent->m_pChildren->front()).first;
        }
        parent = it->second;
        start = dot + 1;
    }
    return parent;
}

HRESULT AddLeaf(CAddrSpace& space, std::map<std::wstring, CAddrNode*>& branches, const std::wstring& itemID,
                DWORD rights, VARTYPE vt)
{
    CAddrNode* parent = BranchFor(space, branches, itemID);
    if (!parent)
        return E_OUTOFMEMORY;
    const std::wstring leaf = itemID.substr(itemID.rfind(L'.') + 1);
    return space.AddNode(parent, rights, vt, L".", leaf.c_str(), leaf.c_str(), nullptr, 2);
}
}  // namespace

HRESULT BuildTestAddressSpace(CAddrSpace** ppSpace)
{
    *ppSpace = new (std::nothrow) CAddrSpace();
    if (!*ppSpace)
        return E_OUTOFMEMORY;
    CAddrSpace& space = **ppSpace;
    space.m_dwOrganization = OPC_NS_HIERARCHIAL;
    space.m_bFilterByType = true;
    std::map<std::wstring, CAddrNode*> branches;
    HRESULT hr = S_OK;
    for (int set = 1; set <= 4 && SUCCEEDED(hr); ++set) {
        for (const wchar_t* leaf : {L"item", L"fct", L"period", L"t0", L"on"}) {
            wchar_t id[32];
            swprintf(id, 32, L"set%d.%ls", set, leaf);
            DWORD rights = 0;
            VARTYPE vt = VT_EMPTY;
            SignalSetItems()->GetAccessRightsByID(id, &rights);
            SignalSetItems()->GetCanonicalTypeByID(id, &vt);
            hr = AddLeaf(space, branches, id, rights, vt);
        }
    }
    for (const CRegisterDef& r : TestRegisters()) {
        if (FAILED(hr))
            break;
        hr = AddLeaf(space, branches, r.itemID, r.rights, r.vt);
    }
    if (FAILED(hr)) {
        delete *ppSpace;
        *ppSpace = nullptr;
        return hr;
    }
    space.Dump();
    return S_OK;
}
