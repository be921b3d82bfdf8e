// Item properties of the server object: what the item set knows of an item
// (type, rights, engineering units) and a device sample of its value.
#include "opc/OPCSrvr.h"

#include "common/ComUtil.h"
#include "opc/ItemFacts.h"

#include <vector>

STDMETHODIMP COPCServer::QueryAvailableProperties(LPWSTR szItemID, DWORD* pdwCount, DWORD** ppPropertyIDs,
                                                  LPWSTR** ppDescriptions, VARTYPE** ppvtDataTypes)
{
    if (!IsWritableOut(pdwCount) || !IsWritableOut(ppPropertyIDs) || !IsWritableOut(ppDescriptions) ||
        !IsWritableOut(ppvtDataTypes))
        return E_INVALIDARG;
    *pdwCount = 0;
    *ppPropertyIDs = nullptr;
    *ppDescriptions = nullptr;
    *ppvtDataTypes = nullptr;
    return ComBoundary([&]() -> HRESULT {
        CItemFacts facts;
        HRESULT hr = facts.Load(szItemID, false);
        if (FAILED(hr))
            return hr;
        auto list = facts.Available();
        const DWORD n = static_cast<DWORD>(list.size());
        CTaskMem<DWORD> ids;
        CTaskMem<LPWSTR> texts;
        CTaskMem<VARTYPE> types;
        if (!ids.Allocate(n) || !texts.Allocate(n) || !types.Allocate(n))
            return E_OUTOFMEMORY;
        for (DWORD i = 0; i < n; ++i)
            texts[i] = nullptr;
        for (DWORD i = 0; i < n; ++i) {
            ids[i] = list[i]->id;
            types[i] = facts.TypeOf(list[i]->id);
            texts[i] = TaskMemStrDup(list[i]->description);
            if (!texts[i]) {
                for (DWORD k = 0; k < i; ++k)
                    CoTaskMemFree(texts[k]);
                return E_OUTOFMEMORY;
            }
        }
        *ppPropertyIDs = ids.Detach();
        *ppDescriptions = texts.Detach();
        *ppvtDataTypes = types.Detach();
        *pdwCount = n;
        return S_OK;
    });
}

namespace {
// The frame of the calls that answer one entry per property ID: the entry
// checks, the two arrays, the item's facts; fill(facts, id, &out) gives one
// entry's result code.
template <class T, class Fill>
HRESULT PerProperty(LPWSTR szItemID, DWORD dwCount, const DWORD* pdwPropertyIDs, T** ppOut, HRESULT** ppErrors,
                    bool withSample, Fill fill)
{
    if (!IsWritableOut(ppOut) || !IsWritableOut(ppErrors))
        return E_INVALIDARG;
    *ppOut = nullptr;
    *ppErrors = nullptr;
    if (dwCount == 0 || !pdwPropertyIDs)
        return E_INVALIDARG;
    return ComBoundary([&]() -> HRESULT {
        CTaskMem<T> out;
        CTaskMem<HRESULT> errors;
        if (!out.Allocate(dwCount) || !errors.Allocate(dwCount))
            return E_OUTOFMEMORY;
        CItemFacts facts;
        HRESULT hr = facts.Load(szItemID, withSample);
        if (FAILED(hr))
            return hr;
        HRESULT result = S_OK;
        for (DWORD i = 0; i < dwCount; ++i) {
            errors[i] = fill(facts, pdwPropertyIDs[i], &out[i]);
            if (FAILED(errors[i]))
                result = S_FALSE;
        }
        *ppOut = out.Detach();
        *ppErrors = errors.Detach();
        return result;
    });
}
}  // namespace

STDMETHODIMP COPCServer::GetItemProperties(LPWSTR szItemID, DWORD dwCount, DWORD* pdwPropertyIDs,
                                           VARIANT** ppvData, HRESULT** ppErrors)
{
    return PerProperty(szItemID, dwCount, pdwPropertyIDs, ppvData, ppErrors, true,
                       [](const CItemFacts& facts, DWORD id, VARIANT* value) {
                           VariantInit(value);
                           HRESULT hr = facts.ValueOf(id, value);
                           if (FAILED(hr))
                               VariantClear(value);
                           return hr;
                       });
}

STDMETHODIMP COPCServer::LookupItemIDs(LPWSTR szItemID, DWORD dwCount, DWORD* pdwPropertyIDs,
                                       LPWSTR** ppszNewItemIDs, HRESULT** ppErrors)
{
    // No property of these items is an item of its own: an unknown property
    // is OPC_E_INVALID_PID, a known one E_FAIL.
    return PerProperty(szItemID, dwCount, pdwPropertyIDs, ppszNewItemIDs, ppErrors, false,
                       [](const CItemFacts& facts, DWORD id, LPWSTR* name) {
                           *name = nullptr;
                           return facts.Has(id) ? E_FAIL : OPC_E_INVALID_PID;
                       });
}
