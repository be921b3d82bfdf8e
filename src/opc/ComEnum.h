// Enumerators over a snapshot ("_CComEnum"): IEnumUnknown of interface
// pointers and IEnumString of task-memory strings. The snapshot is shared by
// an enumerator and its clones and lives until the last of them goes.
#pragma once
#include <windows.h>
#include <objidl.h>

#include <memory>
#include <new>
#include <vector>

#include "common/ComObject.h"
#include "host/ClientWatch.h"
#include "common/ComUtil.h"
#include "common/Trace.h"
#include "host/Module.h"

// Element policies: how an element is handed out and released.
struct CEnumUnknownPolicy {
    using Interface = IEnumUnknown;
    using Element = IUnknown*;
    static const IID& Iid() { return IID_IEnumUnknown; }
    static bool HandOut(Element source, Element* target)
    {
        source->AddRef();
        *target = source;
        return true;
    }
    static void Destroy(Element e) { e->Release(); }
};

struct CEnumStringPolicy {
    using Interface = IEnumString;
    using Element = LPOLESTR;
    static const IID& Iid() { return IID_IEnumString; }
    static bool HandOut(Element source, Element* target)
    {
        *target = TaskMemStrDup(source);
        return *target != nullptr;
    }
    static void Destroy(Element e) { CoTaskMemFree(e); }
};

template <class Policy>
class CComEnum2 : public Policy::Interface {
public:
    using Element = typename Policy::Element;

    // The snapshot: owned elements, released with it.
    struct Snapshot {
        std::vector<Element> items;
        ~Snapshot()
        {
            for (Element e : items)
                Policy::Destroy(e);
        }
    };

    static CComEnum2* Create(std::shared_ptr<Snapshot> snapshot, size_t position = 0)
    {
        auto* e = new (std::nothrow) CComEnum2(std::move(snapshot), position);
        return e;
    }

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        return QueryInterfaceTable(L"_CComEnum", riid, ppv, {{&Policy::Iid(), this}});
    }
    STDMETHODIMP_(ULONG) AddRef() override { return m_refs.Increment(L"_CComEnum", this); }
    STDMETHODIMP_(ULONG) Release() override
    {
        LONG count = m_refs.Decrement(L"_CComEnum", this);
        if (count == 0)
            delete this;
        return count;
    }

    STDMETHODIMP Next(ULONG celt, Element* rgelt, ULONG* pceltFetched) override
    {
        if (pceltFetched)
            *pceltFetched = 0;
        if (!rgelt || (celt != 1 && !pceltFetched))
            return E_POINTER;
        size_t remaining = m_snapshot->items.size() - m_position;
        ULONG n = celt < remaining ? celt : static_cast<ULONG>(remaining);
        for (ULONG i = 0; i < n; ++i) {
            if (!Policy::HandOut(m_snapshot->items[m_position + i], &rgelt[i])) {
                for (ULONG k = 0; k < i; ++k)
                    Policy::Destroy(rgelt[k]);
                return E_OUTOFMEMORY;
            }
        }
        m_position += n;
        if (pceltFetched)
            *pceltFetched = n;
        return n < celt ? S_FALSE : S_OK;
    }
    STDMETHODIMP Skip(ULONG celt) override
    {
        size_t remaining = m_snapshot->items.size() - m_position;
        if (remaining < celt) {
            m_position = m_snapshot->items.size();
            return S_FALSE;
        }
        m_position += celt;
        return S_OK;
    }
    STDMETHODIMP Reset() override
    {
        m_position = 0;
        return S_OK;
    }
    STDMETHODIMP Clone(typename Policy::Interface** ppenum) override
    {
        if (!ppenum)
            return E_POINTER;
        *ppenum = nullptr;
        CComEnum2* clone = Create(m_snapshot, m_position);
        if (!clone)
            return E_OUTOFMEMORY;
        HRESULT hr = clone->QueryInterface(Policy::Iid(), reinterpret_cast<void**>(ppenum));
        if (FAILED(hr))
            delete clone;
        return hr;
    }

    size_t Count() const { return m_snapshot->items.size(); }

private:
    CComEnum2(std::shared_ptr<Snapshot> snapshot, size_t position) : m_snapshot(std::move(snapshot)), m_position(position)
    {
        LockModule();
        TrackClientObject(static_cast<typename Policy::Interface*>(this), &m_refs, L"_CComEnum");
    }
    virtual ~CComEnum2()
    {
        UntrackClientObject(static_cast<typename Policy::Interface*>(this));
        UnlockModule();
    }

    CTracedRefCount m_refs;
    std::shared_ptr<Snapshot> m_snapshot;
    size_t m_position;
};

using CComEnumUnknown = CComEnum2<CEnumUnknownPolicy>;
using CComEnumString = CComEnum2<CEnumStringPolicy>;
