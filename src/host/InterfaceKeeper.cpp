#include "host/InterfaceKeeper.h"

#include "common/OpcDefs.h"
#include "common/Trace.h"

#include <ocidl.h>

const IID* const g_servedInterfaces[] = {
    &IID_IUnknown,
    &IID_IClassFactory,  // each activation marshals the class object
    &IID_IOPCServer,
    &IID_IOPCCommon,
    &IID_IOPCItemProperties,
    &IID_IOPCBrowse,
    &IID_IOPCItemIO,
    &IID_IConnectionPointContainer,
    &IID_IConnectionPoint,
    &IID_IEnumConnections,
    &IID_IEnumConnectionPoints,
    &IID_IOPCBrowseServerAddressSpace,
    &IID_IEnumUnknown,
    &IID_IEnumString,
    &IID_IOPCGroupStateMgt,
    &IID_IOPCItemMgt,
    &IID_IEnumOPCItemAttributes,
    &IID_IOPCSyncIO,
    &IID_IOPCAsyncIO,
    &IID_IOPCAsyncIO2,
    &IID_IOPCAsyncIO3,
    &IID_IOPCSyncIO2,
    &IID_IOPCGroupStateMgt2,
    &IID_IOPCItemDeadbandMgt,
    &IID_IOPCItemSamplingMgt,
    &IID_IDataObject,
};
const size_t g_servedInterfaceCount = sizeof(g_servedInterfaces) / sizeof(g_servedInterfaces[0]);

namespace {

const IID* const* g_kept = g_servedInterfaces;
size_t g_keptCount = g_servedInterfaceCount;

// The stubs of the private object are never called: nobody else has its
// marshalled reference. Every slot past IUnknown answers E_UNEXPECTED all the
// same, should the runtime ever ask.
HRESULT STDMETHODCALLTYPE NotServed(void*) { return E_UNEXPECTED; }

class CKeeper {
public:
    CKeeper()
    {
        m_vtbl[0] = reinterpret_cast<void*>(&QueryInterfaceThunk);
        m_vtbl[1] = reinterpret_cast<void*>(&AddRefThunk);
        m_vtbl[2] = reinterpret_cast<void*>(&ReleaseThunk);
        for (size_t i = 3; i < kSlots; ++i)
            m_vtbl[i] = reinterpret_cast<void*>(&NotServed);
        m_self = m_vtbl;
    }
    IUnknown* Unknown() { return reinterpret_cast<IUnknown*>(&m_self); }

private:
    static constexpr size_t kSlots = 64;

    static HRESULT STDMETHODCALLTYPE QueryInterfaceThunk(IUnknown* self, REFIID riid, void** ppv)
    {
        if (!ppv)
            return E_POINTER;
        for (size_t i = 0; i < g_keptCount; ++i) {
            if (IsEqualIID(riid, *g_kept[i])) {
                *ppv = self;
                return S_OK;
            }
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    // A static object: it counts nothing, and it does not keep the process
    // alive (it is not in the process lock).
    static ULONG STDMETHODCALLTYPE AddRefThunk(IUnknown*) { return 2; }
    static ULONG STDMETHODCALLTYPE ReleaseThunk(IUnknown*) { return 1; }

    void* m_vtbl[kSlots];
    void** m_self;
};

CKeeper g_keeper;
IStream* g_keeperStream = nullptr;

}  // namespace

HRESULT KeepInterfacesRegistered() { return KeepInterfacesRegistered(g_servedInterfaces, g_servedInterfaceCount); }

HRESULT KeepInterfacesRegistered(const IID* const* interfaces, size_t count)
{
    if (g_keeperStream)
        return S_OK;
    g_kept = interfaces;
    g_keptCount = count;
    IStream* stream = nullptr;
    HRESULT hr = CreateStreamOnHGlobal(nullptr, TRUE, &stream);
    if (FAILED(hr))
        return hr;
    g_keeperStream = stream;
    for (size_t i = 0; i < count; ++i) {
        HRESULT one = CoMarshalInterface(stream, *interfaces[i], g_keeper.Unknown(), MSHCTX_LOCAL,
                                         nullptr, MSHLFLAGS_TABLESTRONG);
        if (FAILED(one)) {
            DebugTrace(L"Interface registration kept failed: 0x%08lX\n", static_cast<unsigned long>(one));
            if (SUCCEEDED(hr))
                hr = one;
        }
    }
    return hr;
}

void ReleaseKeptInterfaces()
{
    if (!g_keeperStream)
        return;
    CoDisconnectObject(g_keeper.Unknown(), 0);
    g_keeperStream->Release();
    g_keeperStream = nullptr;
}
