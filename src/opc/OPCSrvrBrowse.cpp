// The server's IOPCBrowse: the address space as elements with their
// properties, in pages joined by continuation points.
#include "opc/OPCSrvr.h"

#include "common/ComUtil.h"
#include "common/OpcRecords.h"
#include "core/AddrSpace.h"
#include "opc/ItemFacts.h"

#include <algorithm>
#include <cwctype>
#include <vector>

namespace {

// The tree shows patterns (setX.on): their properties are those of every
// item of the pattern, taken from set 0 (set0.on; itemY stands for item).
std::wstring FactsIDFor(const std::wstring& id)
{
    const std::wstring pattern = L"setX.";
    if (id.compare(0, pattern.size(), pattern) != 0)
        return id;
    std::wstring kind = id.substr(pattern.size());
    for (wchar_t& c : kind)
        c = static_cast<wchar_t>(towlower(c));
    if (kind.compare(0, 4, L"item") == 0)
        kind = L"item";
    return L"set0." + kind;
}

// Fills one item's properties: all of them, or those of ids; with values
// when asked. The result is the item's: its load failure, S_FALSE when a
// property failed, else S_OK.
HRESULT FillProperties(const std::wstring& itemID, bool values, bool all, DWORD n, const DWORD* ids,
                       OPCITEMPROPERTIES* out)
{
    *out = OPCITEMPROPERTIES{};
    CItemFacts facts;
    HRESULT hr = facts.Load(FactsIDFor(itemID).c_str(), values);
    if (FAILED(hr))
        return out->hrErrorID = hr;
    std::vector<DWORD> wanted;
    if (all)
        for (const CPropertyInfo* p : facts.Available())
            wanted.push_back(p->id);
    else
        wanted.assign(ids, ids + n);
    CTaskMem<OPCITEMPROPERTY> list;
    if (!list.Allocate(static_cast<DWORD>(wanted.size())))
        return E_OUTOFMEMORY;
    for (size_t i = 0; i < wanted.size(); ++i) {
        list[i] = OPCITEMPROPERTY{};
        VariantInit(&list[i].vValue);
    }
    out->pItemProperties = list.Detach();
    out->dwNumProperties = static_cast<DWORD>(wanted.size());
    HRESULT result = S_OK;
    for (size_t i = 0; i < wanted.size(); ++i) {
        OPCITEMPROPERTY& p = out->pItemProperties[i];
        p.dwPropertyID = wanted[i];
        if (!facts.Has(wanted[i])) {
            p.hrErrorID = OPC_E_INVALID_PID;
            result = S_FALSE;
            continue;
        }
        p.vtDataType = facts.TypeOf(wanted[i]);
        p.szDescription = TaskMemStrDup(facts.DescriptionOf(wanted[i]));
        if (!p.szDescription) {
            FreeItemProperties(*out);
            return E_OUTOFMEMORY;
        }
        if (values) {
            p.hrErrorID = facts.ValueOf(wanted[i], &p.vValue);
            if (FAILED(p.hrErrorID)) {
                VariantClear(&p.vValue);
                result = S_FALSE;
            }
        }
    }
    return out->hrErrorID = result;
}

// A continuation point: the position in the answer, with a check over the
// browse it belongs to and this process, so that a point of another browse,
// another server process or of nobody is refused rather than misread.
const wchar_t kPointTag[] = L"VTB1:";

DWORD PointCheck(const std::wstring& browse, size_t index)
{
    static const DWORD nonce = GetCurrentProcessId() * 2654435761u ^ GetTickCount();
    DWORD h = 2166136261u ^ nonce;
    auto mix = [&h](DWORD v) {
        for (int i = 0; i < 4; ++i) {
            h ^= (v >> (8 * i)) & 0xFF;
            h *= 16777619u;
        }
    };
    for (wchar_t c : browse)
        mix(c);
    mix(static_cast<DWORD>(index));
    return h;
}

std::wstring MakePoint(const std::wstring& browse, size_t index)
{
    wchar_t buffer[48];
    swprintf(buffer, 48, L"%ls%lu:%08lX", kPointTag, static_cast<unsigned long>(index),
             static_cast<unsigned long>(PointCheck(browse, index)));
    return buffer;
}

bool ReadPoint(const wchar_t* point, const std::wstring& browse, size_t* index)
{
    const size_t tag = wcslen(kPointTag);
    if (wcsncmp(point, kPointTag, tag) != 0)
        return false;
    wchar_t* end = nullptr;
    unsigned long position = wcstoul(point + tag, &end, 10);
    if (!end || *end != L':')
        return false;
    wchar_t* checkEnd = nullptr;
    unsigned long check = wcstoul(end + 1, &checkEnd, 16);
    if (!checkEnd || *checkEnd != L'\0' || check != PointCheck(browse, position))
        return false;
    *index = position;
    return true;
}

struct CElement {
    const CAddrNode* node;
    std::wstring id;
};
}  // namespace

STDMETHODIMP COPCServer::GetProperties(DWORD dwItemCount, LPWSTR* pszItemIDs, BOOL bReturnPropertyValues,
                                       DWORD dwPropertyCount, DWORD* pdwPropertyIDs,
                                       OPCITEMPROPERTIES** ppItemProperties)
{
    if (!IsWritableOut(ppItemProperties))
        return E_INVALIDARG;
    *ppItemProperties = nullptr;
    if (dwItemCount == 0 || !pszItemIDs || (dwPropertyCount && !pdwPropertyIDs))
        return E_INVALIDARG;
    return ComBoundary([&]() -> HRESULT {
        CTaskMem<OPCITEMPROPERTIES> out;
        if (!out.Allocate(dwItemCount))
            return E_OUTOFMEMORY;
        for (DWORD i = 0; i < dwItemCount; ++i)
            out[i] = OPCITEMPROPERTIES{};
        HRESULT result = S_OK;
        for (DWORD i = 0; i < dwItemCount; ++i) {
            HRESULT hr = pszItemIDs[i] ? FillProperties(pszItemIDs[i], bReturnPropertyValues != FALSE,
                                                        dwPropertyCount == 0, dwPropertyCount, pdwPropertyIDs,
                                                        &out[i])
                                       : (out[i].hrErrorID = E_INVALIDARG);
            if (hr == E_OUTOFMEMORY) {
                for (DWORD k = 0; k < i; ++k)
                    FreeItemProperties(out[k]);
                return hr;
            }
            if (hr != S_OK)
                result = S_FALSE;
        }
        *ppItemProperties = out.Detach();
        return result;
    });
}

STDMETHODIMP COPCServer::Browse(LPWSTR szItemID, LPWSTR* pszContinuationPoint, DWORD dwMaxElementsReturned,
                                OPCBROWSEFILTER dwBrowseFilter, LPWSTR szElementNameFilter, LPWSTR szVendorFilter,
                                BOOL bReturnAllProperties, BOOL bReturnPropertyValues, DWORD dwPropertyCount,
                                DWORD* pdwPropertyIDs, BOOL* pbMoreElements, DWORD* pdwCount,
                                OPCBROWSEELEMENT** ppBrowseElements)
{
    if (!IsWritableOut(pszContinuationPoint) || !IsWritableOut(pbMoreElements) || !IsWritableOut(pdwCount) ||
        !IsWritableOut(ppBrowseElements))
        return E_INVALIDARG;
    *pbMoreElements = FALSE;
    *pdwCount = 0;
    *ppBrowseElements = nullptr;
    if (!szItemID || dwBrowseFilter < OPC_BROWSE_FILTER_ALL || dwBrowseFilter > OPC_BROWSE_FILTER_ITEMS ||
        (dwPropertyCount && !pdwPropertyIDs))
        return E_INVALIDARG;
    return ComBoundary([&]() -> HRESULT {
        const std::wstring nameFilter = szElementNameFilter ? szElementNameFilter : L"";
        const std::wstring vendorFilter = szVendorFilter ? szVendorFilter : L"";
        const std::wstring browse = std::wstring(szItemID) + L'\1' + std::to_wstring(dwBrowseFilter) + L'\1' +
                                    nameFilter + L'\1' + vendorFilter;
        size_t start = 0;
        const wchar_t* point = *pszContinuationPoint;
        if (point && *point && !ReadPoint(point, browse, &start))
            return OPC_E_INVALIDCONTINUATIONPOINT;
        CAddrSpace* space = AddressSpace();
        CAddrNode* node = !space ? nullptr : *szItemID ? space->m_pRoot->FindByItemID(szItemID) : space->m_pRoot;
        if (!node)
            return OPC_E_UNKNOWNITEMID;
        std::vector<CElement> all;
        if (node->m_pChildren) {
            for (const CAddrNode* child : *node->m_pChildren) {
                const bool branch = child->IsBranch();
                if ((dwBrowseFilter == OPC_BROWSE_FILTER_BRANCHES && !branch) ||
                    (dwBrowseFilter == OPC_BROWSE_FILTER_ITEMS && branch))
                    continue;
                std::wstring id = child->ComposeItemID();
                if ((!nameFilter.empty() && !MatchFilter(child->Name(), nameFilter.c_str())) ||
                    (!vendorFilter.empty() && !MatchFilter(id.c_str(), vendorFilter.c_str())))
                    continue;
                all.push_back({child, std::move(id)});
            }
        }
        std::sort(all.begin(), all.end(), [](const CElement& a, const CElement& b) {
            return wcscmp(a.node->Name(), b.node->Name()) < 0;
        });
        if (start > all.size())
            return OPC_E_INVALIDCONTINUATIONPOINT;
        size_t end = dwMaxElementsReturned ? std::min(all.size(), start + static_cast<size_t>(dwMaxElementsReturned)) : all.size();
        const DWORD n = static_cast<DWORD>(end - start);
        CTaskMem<OPCBROWSEELEMENT> elements;
        if (!elements.Allocate(n))
            return E_OUTOFMEMORY;
        for (DWORD i = 0; i < n; ++i)
            elements[i] = OPCBROWSEELEMENT{};
        auto freeAll = [&](DWORD filled) {
            for (DWORD k = 0; k < filled; ++k) {
                CoTaskMemFree(elements[k].szName);
                CoTaskMemFree(elements[k].szItemID);
                FreeItemProperties(elements[k].ItemProperties);
            }
        };
        const bool withProperties = bReturnAllProperties || dwPropertyCount > 0;
        for (DWORD i = 0; i < n; ++i) {
            const CElement& e = all[start + i];
            OPCBROWSEELEMENT& out = elements[i];
            const bool branch = e.node->IsBranch();
            out.dwFlagValue = branch ? (e.node->m_pChildren->empty() ? 0 : OPC_BROWSE_HASCHILDREN) : OPC_BROWSE_ISITEM;
            out.szName = TaskMemStrDup(e.node->Name());
            out.szItemID = TaskMemStrDup(e.id.c_str());
            HRESULT hr = S_OK;
            if (withProperties && !branch)
                hr = FillProperties(e.id, bReturnPropertyValues != FALSE, bReturnAllProperties != FALSE,
                                    dwPropertyCount, pdwPropertyIDs, &out.ItemProperties);
            if (!out.szName || !out.szItemID || hr == E_OUTOFMEMORY) {
                freeAll(i + 1);
                return E_OUTOFMEMORY;
            }
        }
        LPWSTR next = nullptr;
        if (end < all.size()) {
            next = TaskMemStrDup(MakePoint(browse, end).c_str());
            if (!next) {
                freeAll(n);
                return E_OUTOFMEMORY;
            }
        }
        CoTaskMemFree(*pszContinuationPoint);  // the caller's point is replaced
        *pszContinuationPoint = next;
        *pbMoreElements = next != nullptr;
        *pdwCount = n;
        *ppBrowseElements = elements.Detach();
        return n ? S_OK : S_FALSE;
    });
}
