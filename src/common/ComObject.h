// What every COM object of the server shares: a traced reference count and a
// traced QueryInterface over a table of interfaces.
#pragma once
#include <windows.h>
#include <unknwn.h>

#include <initializer_list>

#include "common/Trace.h"

// An interlocked reference count that writes the AddRef/Release trace lines.
class CTracedRefCount {
public:
    LONG Increment(const wchar_t* name, const void* object)
    {
        LONG count = InterlockedIncrement(&m_count);
        TraceAddRef(name, object, count);
        return count;
    }
    LONG Decrement(const wchar_t* name, const void* object)
    {
        LONG count = InterlockedDecrement(&m_count);
        TraceRelease(name, object, count);
        return count;
    }
    // Adds a reference only while the object is alive (count above 0): for a
    // holder that found the object in a table and may race with its last
    // Release.
    bool TryIncrement(const wchar_t* name, const void* object)
    {
        for (LONG count = m_count; count > 0; count = m_count) {
            if (InterlockedCompareExchange(&m_count, count + 1, count) == count) {
                TraceAddRef(name, object, count + 1);
                return true;
            }
        }
        return false;
    }
    LONG m_count = 0;
};

struct CInterfaceEntry {
    const IID* iid;
    IUnknown* pointer;  // the object's pointer for that interface
};

// Looks riid up (IID_IUnknown gives the first entry), adds a reference and
// writes the QueryInterface trace line.
inline HRESULT QueryInterfaceTable(const wchar_t* name, REFIID riid, void** ppv,
                                   std::initializer_list<CInterfaceEntry> table)
{
    HRESULT hr = E_NOINTERFACE;
    if (!ppv) {
        hr = E_POINTER;
    } else {
        *ppv = nullptr;
        for (const CInterfaceEntry& e : table) {
            if (riid == *e.iid || (riid == IID_IUnknown && &e == table.begin())) {
                e.pointer->AddRef();
                *ppv = e.pointer;
                hr = S_OK;
                break;
            }
        }
    }
    TraceQueryInterface(name, riid, hr);
    return hr;
}
