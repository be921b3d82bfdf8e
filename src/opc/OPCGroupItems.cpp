// The group's item management (IOPCItemMgt).
#include "common/ComUtil.h"
#include "common/OPCGlob.h"
#include "common/Trace.h"
#include "opc/EnumItemAttributes.h"
#include "opc/OPCGroup.h"
#include "opc/OPCItem.h"

#include <memory>
#include <new>
#include <vector>

namespace {
// The per-item error array of a call, and the overall result.
struct ErrorArray {
    CTaskMem<HRESULT> errors;
    HRESULT result = S_OK;
    bool Allocate(DWORD count) { return errors.Allocate(count); }
    void Set(DWORD i, HRESULT hr)
    {
        errors[i] = hr;
        if (FAILED(hr))
            result = S_FALSE;
    }
};

// The frame of AddItems and ValidateItems: entry rules, both arrays made,
// body(results, errors) fills them; the arrays are handed out only when the
// body succeeds.
template <class Body>
HRESULT WithItemResults(COPCGroup* group, DWORD dwCount, OPCITEMRESULT** ppResults, HRESULT** ppErrors, Body body)
{
    CCsLock lock(group->m_cs);
    if (group->m_bRemoved)
        return E_FAIL;
    if (!IsWritableOut(ppResults) || !IsWritableOut(ppErrors))
        return E_INVALIDARG;
    *ppResults = nullptr;
    *ppErrors = nullptr;
    return ComBoundary([&]() -> HRESULT {
        CTaskMem<OPCITEMRESULT> results;
        ErrorArray errors;
        if (!results.Allocate(dwCount) || !errors.Allocate(dwCount))
            return E_OUTOFMEMORY;
        memset(results.get(), 0, sizeof(OPCITEMRESULT) * dwCount);
        HRESULT hr = body(results, errors);
        if (FAILED(hr))
            return hr;
        *ppResults = results.Detach();
        *ppErrors = errors.errors.Detach();
        return errors.result;
    });
}
}  // namespace

STDMETHODIMP COPCGroup::AddItems(DWORD dwCount, OPCITEMDEF* pItemArray, OPCITEMRESULT** ppAddResults,
                                 HRESULT** ppErrors)
{
    return WithItemResults(this, dwCount, ppAddResults, ppErrors, [&](CTaskMem<OPCITEMRESULT>& results,
                                                                      ErrorArray& errors) -> HRESULT {
        std::vector<OPCHANDLE> added;
        auto undo = [&](HRESULT code) {
            for (auto it = added.rbegin(); it != added.rend(); ++it) {
                auto found = m_items.find(*it);
                COPCItem* item = found->second;
                m_items.erase(found);
                delete item;
            }
            return code;
        };
        for (DWORD i = 0; i < dwCount; ++i) {
            std::unique_ptr<COPCItem> item(new (std::nothrow) COPCItem());
            if (!item)
                return undo(E_OUTOFMEMORY);
            HRESULT hr;
            try {
                hr = item->Init(this, &pItemArray[i], &results[i]);
            } catch (HRESULT thrown) {
                return undo(thrown);
            }
            errors.Set(i, hr);
            if (FAILED(hr)) {
                results[i].hServer = 0;
                continue;  // the item is destroyed, giving back its device item
            }
            if (m_items.count(item->GetServerHandle()))
                return undo(E_FAIL);
            m_items.emplace(item->GetServerHandle(), item.get());
            added.push_back(item->GetServerHandle());
            item.release();
        }
        return S_OK;
    });
}

STDMETHODIMP COPCGroup::ValidateItems(DWORD dwCount, OPCITEMDEF* pItemArray, BOOL, OPCITEMRESULT** ppValidationResults,
                                      HRESULT** ppErrors)
{
    return WithItemResults(this, dwCount, ppValidationResults, ppErrors,
                           [&](CTaskMem<OPCITEMRESULT>& results, ErrorArray& errors) -> HRESULT {
                               for (DWORD i = 0; i < dwCount; ++i)
                                   errors.Set(i, COPCItem::ValidateItemDef(&pItemArray[i], &results[i]));
                               return S_OK;
                           });
}

namespace {
// Runs one operation per server handle; a handle of no item of the group
// gives OPC_E_INVALIDHANDLE.
template <class Op>
HRESULT ForEachHandle(COPCGroup* group, DWORD dwCount, const OPCHANDLE* phServer, HRESULT** ppErrors, Op op)
{
    CCsLock lock(group->m_cs);
    if (group->m_bRemoved)
        return E_FAIL;
    if (!IsWritableOut(ppErrors))
        return E_INVALIDARG;
    *ppErrors = nullptr;
    return ComBoundary([&]() -> HRESULT {
        ErrorArray errors;
        if (!errors.Allocate(dwCount))
            return E_OUTOFMEMORY;
        for (DWORD i = 0; i < dwCount; ++i) {
            auto it = group->m_items.find(phServer[i]);
            errors.Set(i, it == group->m_items.end() ? OPC_E_INVALIDHANDLE : op(i, it));
        }
        *ppErrors = errors.errors.Detach();
        return errors.result;
    });
}
}  // namespace

STDMETHODIMP COPCGroup::RemoveItems(DWORD dwCount, OPCHANDLE* phServer, HRESULT** ppErrors)
{
    return ForEachHandle(this, dwCount, phServer, ppErrors, [&](DWORD, std::map<OPCHANDLE, COPCItem*>::iterator it) {
        COPCItem* item = it->second;
        m_items.erase(it);
        delete item;
        return S_OK;
    });
}

STDMETHODIMP COPCGroup::SetActiveState(DWORD dwCount, OPCHANDLE* phServer, BOOL bActive, HRESULT** ppErrors)
{
    return ForEachHandle(this, dwCount, phServer, ppErrors, [&](DWORD, std::map<OPCHANDLE, COPCItem*>::iterator it) {
        return it->second->SetActive(bActive);
    });
}

STDMETHODIMP COPCGroup::SetClientHandles(DWORD dwCount, OPCHANDLE* phServer, OPCHANDLE* phClient, HRESULT** ppErrors)
{
    return ForEachHandle(this, dwCount, phServer, ppErrors,
                         [&](DWORD i, std::map<OPCHANDLE, COPCItem*>::iterator it) {
                             it->second->SetClientHandle(phClient[i]);
                             return S_OK;
                         });
}

STDMETHODIMP COPCGroup::SetDatatypes(DWORD dwCount, OPCHANDLE* phServer, VARTYPE* pRequestedDatatypes,
                                     HRESULT** ppErrors)
{
    return ForEachHandle(this, dwCount, phServer, ppErrors,
                         [&](DWORD i, std::map<OPCHANDLE, COPCItem*>::iterator it) {
                             it->second->SetRequestedType(pRequestedDatatypes[i]);
                             return S_OK;
                         });
}

STDMETHODIMP COPCGroup::CreateEnumerator(REFIID riid, LPUNKNOWN* ppUnk)
{
    CCsLock lock(m_cs);
    if (m_bRemoved)
        return E_FAIL;
    if (!IsWritableOut(ppUnk))
        return E_INVALIDARG;
    *ppUnk = nullptr;
    if (riid != IID_IEnumOPCItemAttributes)
        return E_INVALIDARG;
    return ComBoundary([&]() -> HRESULT {
        auto* enumerator = new (std::nothrow) CEnumOPCItemAttributes();
        if (!enumerator)
            return E_OUTOFMEMORY;
        enumerator->AddRef();
        if (m_items.empty()) {
            enumerator->Release();
            return S_FALSE;
        }
        const DWORD n = static_cast<DWORD>(m_items.size());
        auto* items = static_cast<OPCITEMATTRIBUTES*>(HeapAllocFn(sizeof(OPCITEMATTRIBUTES) * n));
        if (!items) {
            enumerator->Release();
            return E_OUTOFMEMORY;
        }
        DWORD i = 0;
        for (auto& entry : m_items)
            entry.second->GetAttributes(&items[i++], HeapAllocFn);
        enumerator->Init(std::make_shared<CItemAttributesSnapshot>(items, n), TRUE, nullptr);
        HRESULT hr = enumerator->QueryInterface(riid, reinterpret_cast<void**>(ppUnk));
        enumerator->Release();
        return hr;
    });
}
