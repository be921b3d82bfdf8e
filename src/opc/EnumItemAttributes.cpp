#include "opc/EnumItemAttributes.h"

#include "common/ComObject.h"
#include "common/ComUtil.h"
#include "common/OPCGlob.h"
#include "common/Trace.h"
#include "host/ClientWatch.h"
#include "host/Module.h"

#include <new>

namespace {
const wchar_t kTraceName[] = L"CEnumOPCItemAttributes";
}

CItemAttributesSnapshot::~CItemAttributesSnapshot() { FreeItemAttributesArray(m_count, m_items, HeapFreeFn); }

CEnumOPCItemAttributes::CEnumOPCItemAttributes()
{
    LockModule();
    TrackClientObject(static_cast<IEnumOPCItemAttributes*>(this), &m_refs, kTraceName);
}

CEnumOPCItemAttributes::~CEnumOPCItemAttributes()
{
    UntrackClientObject(static_cast<IEnumOPCItemAttributes*>(this));
    m_snapshot.reset();  // the last sharer frees the snapshot
    UnlockModule();
}

void CEnumOPCItemAttributes::Init(std::shared_ptr<CItemAttributesSnapshot> snapshot, BOOL bOwner,
                                  OPCITEMATTRIBUTES* pCurrent)
{
    m_snapshot = std::move(snapshot);
    m_bOwner = bOwner;
    m_pBegin = m_snapshot ? m_snapshot->m_items : nullptr;
    m_pEnd = m_snapshot ? m_snapshot->m_items + m_snapshot->m_count : nullptr;
    m_pCurrent = pCurrent ? pCurrent : m_pBegin;
}

STDMETHODIMP CEnumOPCItemAttributes::QueryInterface(REFIID riid, void** ppv)
{
    return QueryInterfaceTable(kTraceName, riid, ppv, {{&IID_IEnumOPCItemAttributes, this}});
}

STDMETHODIMP_(ULONG) CEnumOPCItemAttributes::AddRef() { return m_refs.Increment(kTraceName, this); }

STDMETHODIMP_(ULONG) CEnumOPCItemAttributes::Release()
{
    LONG count = m_refs.Decrement(kTraceName, this);
    if (count == 0)
        delete this;
    return count;
}

STDMETHODIMP CEnumOPCItemAttributes::Next(ULONG celt, OPCITEMATTRIBUTES** ppItemArray, ULONG* pceltFetched)
{
    if (!ppItemArray || (!pceltFetched && celt != 1))
        return E_POINTER;
    *ppItemArray = nullptr;
    if (pceltFetched)
        *pceltFetched = 0;
    if (!m_snapshot)
        return E_FAIL;
    ULONG remaining = static_cast<ULONG>(m_pEnd - m_pCurrent);
    HRESULT result = S_OK;
    ULONG n = celt;
    if (celt > remaining) {
        n = remaining;
        result = S_FALSE;
    }
    CTaskMem<OPCITEMATTRIBUTES> array;
    if (!array.Allocate(n))
        return S_FALSE;
    ULONG copied = 0;
    for (; copied < n; ++copied, ++m_pCurrent) {
        if (FAILED(CopyItemAttributes(&array[copied], m_pCurrent, TaskMemAllocFn))) {
            FreeItemAttributesArray(copied + 1, array.Detach(), TaskMemFreeFn);
            return E_OUTOFMEMORY;
        }
    }
    *ppItemArray = array.Detach();
    if (pceltFetched)
        *pceltFetched = n;
    return result;
}

STDMETHODIMP CEnumOPCItemAttributes::Skip(ULONG celt)
{
    ULONG remaining = static_cast<ULONG>(m_pEnd - m_pCurrent);
    if (celt >= remaining) {
        m_pCurrent = m_pEnd;
        return S_FALSE;
    }
    m_pCurrent += celt;
    return S_OK;
}

STDMETHODIMP CEnumOPCItemAttributes::Reset()
{
    m_pCurrent = m_pBegin;
    return S_OK;
}

STDMETHODIMP CEnumOPCItemAttributes::Clone(IEnumOPCItemAttributes** ppEnumItemAttributes)
{
    if (!ppEnumItemAttributes)
        return E_POINTER;
    *ppEnumItemAttributes = nullptr;
    auto* clone = new (std::nothrow) CEnumOPCItemAttributes();
    if (!clone)
        return E_OUTOFMEMORY;
    clone->Init(m_snapshot, FALSE, m_pCurrent);
    HRESULT hr = clone->QueryInterface(IID_IEnumOPCItemAttributes, reinterpret_cast<void**>(ppEnumItemAttributes));
    if (FAILED(hr))
        delete clone;
    return hr;
}
