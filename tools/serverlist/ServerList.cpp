#include "ServerList.h"

#include "common/ComUtil.h"
#include "host/ClientWatch.h"
#include "host/Module.h"
#include "opc/ComEnum.h"

#include <comcat.h>

#include <memory>
#include <new>
#include <string>
#include <vector>

namespace {
const wchar_t kTraceName[] = L"COPCServerList";

template <class I>
struct CEnumGuidPolicy {
    using Interface = I;
    using Element = GUID;
    static const IID& Iid() { return __uuidof(I); }
    static bool HandOut(Element source, Element* target)
    {
        *target = source;
        return true;
    }
    static void Destroy(Element) {}
};
using CEnumGUID = CComEnum2<CEnumGuidPolicy<IEnumGUID>>;
using COPCEnumGUID = CComEnum2<CEnumGuidPolicy<IOPCEnumGUID>>;

template <class E, class I>
HRESULT MakeEnum(const std::vector<GUID>& classes, I** ppEnum)
{
    auto snapshot = std::make_shared<typename E::Snapshot>();
    snapshot->items = classes;
    E* e = E::Create(snapshot);
    if (!e)
        return E_OUTOFMEMORY;
    e->AddRef();
    HRESULT hr = e->QueryInterface(__uuidof(I), reinterpret_cast<void**>(ppEnum));
    e->Release();
    return hr;
}

// A value of HKCR\CLSID\{clsid}[\subkey] as task memory; null when absent.
LPWSTR ClassKeyValue(REFCLSID clsid, const wchar_t* subkey)
{
    LPOLESTR text = nullptr;
    if (FAILED(StringFromCLSID(clsid, &text)))
        return nullptr;
    std::wstring path = std::wstring(L"CLSID\\") + text;
    CoTaskMemFree(text);
    if (subkey)
        path += std::wstring(L"\\") + subkey;
    wchar_t value[512];
    LONG size = sizeof(value);
    if (RegQueryValueW(HKEY_CLASSES_ROOT, path.c_str(), value, &size) != ERROR_SUCCESS)
        return nullptr;
    value[sizeof(value) / sizeof(value[0]) - 1] = 0;
    return TaskMemStrDup(value);
}
}  // namespace

COPCServerList::COPCServerList()
{
    LockModule();
    TrackClientObject(static_cast<IOPCServerList*>(this), &m_refs, kTraceName);
}

COPCServerList::~COPCServerList()
{
    UntrackClientObject(static_cast<IOPCServerList*>(this));
    DebugTrace(L"COPCServerList destructing\n");
    UnlockModule();
}

HRESULT COPCServerList::CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppv)
{
    if (pUnkOuter)
        return CLASS_E_NOAGGREGATION;
    auto* list = new (std::nothrow) COPCServerList();
    if (!list)
        return E_OUTOFMEMORY;
    list->AddRef();
    HRESULT hr = list->QueryInterface(riid, ppv);
    list->Release();
    return hr;
}

STDMETHODIMP COPCServerList::QueryInterface(REFIID riid, void** ppv)
{
    return QueryInterfaceTable(kTraceName, riid, ppv,
                               {{&IID_IOPCServerList, static_cast<IOPCServerList*>(this)},
                                {&IID_IOPCServerList2, static_cast<IOPCServerList2*>(this)}});
}

STDMETHODIMP_(ULONG) COPCServerList::AddRef() { return m_refs.Increment(kTraceName, this); }

STDMETHODIMP_(ULONG) COPCServerList::Release()
{
    LONG count = m_refs.Decrement(kTraceName, this);
    if (count == 0)
        delete this;
    return count;
}

HRESULT COPCServerList::Classes(ULONG cImplemented, CATID rgcatidImpl[], ULONG cRequired, CATID rgcatidReq[],
                                std::vector<GUID>* out)
{
    if ((cImplemented && cImplemented != static_cast<ULONG>(-1) && !rgcatidImpl) ||
        (cRequired && cRequired != static_cast<ULONG>(-1) && !rgcatidReq))
        return E_INVALIDARG;
    ICatInformation* categories = nullptr;
    HRESULT hr = CoCreateInstance(CLSID_StdComponentCategoriesMgr, nullptr, CLSCTX_INPROC_SERVER,
                                  IID_ICatInformation, reinterpret_cast<void**>(&categories));
    if (FAILED(hr))
        return hr;
    IEnumGUID* found = nullptr;
    hr = categories->EnumClassesOfCategories(cImplemented, rgcatidImpl, cRequired, rgcatidReq, &found);
    categories->Release();
    if (FAILED(hr))
        return hr;
    GUID clsid;
    ULONG fetched = 0;
    while (found->Next(1, &clsid, &fetched) == S_OK && fetched == 1)
        out->push_back(clsid);
    found->Release();
    return S_OK;
}

STDMETHODIMP COPCServerList::EnumClassesOfCategories(ULONG cImplemented, CATID rgcatidImpl[], ULONG cRequired,
                                                     CATID rgcatidReq[], IEnumGUID** ppenumClsid)
{
    if (!IsWritableOut(ppenumClsid))
        return E_INVALIDARG;
    *ppenumClsid = nullptr;
    return ComBoundary([&]() -> HRESULT {
        std::vector<GUID> classes;
        HRESULT hr = Classes(cImplemented, rgcatidImpl, cRequired, rgcatidReq, &classes);
        return FAILED(hr) ? hr : MakeEnum<CEnumGUID>(classes, ppenumClsid);
    });
}

STDMETHODIMP COPCServerList::EnumClassesOfCategories(ULONG cImplemented, CATID rgcatidImpl[], ULONG cRequired,
                                                     CATID rgcatidReq[], IOPCEnumGUID** ppenumClsid)
{
    if (!IsWritableOut(ppenumClsid))
        return E_INVALIDARG;
    *ppenumClsid = nullptr;
    return ComBoundary([&]() -> HRESULT {
        std::vector<GUID> classes;
        HRESULT hr = Classes(cImplemented, rgcatidImpl, cRequired, rgcatidReq, &classes);
        return FAILED(hr) ? hr : MakeEnum<COPCEnumGUID>(classes, ppenumClsid);
    });
}

STDMETHODIMP COPCServerList::GetClassDetails(REFCLSID clsid, LPWSTR* ppszProgID, LPWSTR* ppszUserType)
{
    return GetClassDetails(clsid, ppszProgID, ppszUserType, nullptr);
}

STDMETHODIMP COPCServerList::GetClassDetails(REFCLSID clsid, LPWSTR* ppszProgID, LPWSTR* ppszUserType,
                                             LPWSTR* ppszVerIndProgID)
{
    if (!IsWritableOut(ppszProgID) || !IsWritableOut(ppszUserType))
        return E_INVALIDARG;
    *ppszProgID = nullptr;
    *ppszUserType = nullptr;
    if (ppszVerIndProgID) {
        if (!IsWritableOut(ppszVerIndProgID))
            return E_INVALIDARG;
        *ppszVerIndProgID = nullptr;
    }
    return ComBoundary([&]() -> HRESULT {
        CTaskMem<wchar_t> progID(ClassKeyValue(clsid, L"ProgID"));
        CTaskMem<wchar_t> userType(ClassKeyValue(clsid, nullptr));
        if (!progID.get() && !userType.get())
            return REGDB_E_CLASSNOTREG;
        CTaskMem<wchar_t> verInd(ppszVerIndProgID ? ClassKeyValue(clsid, L"VersionIndependentProgID") : nullptr);
        // A class without one of them gives an empty text for it.
        auto filled = [](CTaskMem<wchar_t>& text) {
            if (!text.get())
                text.reset(TaskMemStrDup(L""));
            return text.get() != nullptr;
        };
        if (!filled(progID) || !filled(userType) || (ppszVerIndProgID && !filled(verInd)))
            return E_OUTOFMEMORY;
        *ppszProgID = progID.Detach();
        *ppszUserType = userType.Detach();
        if (ppszVerIndProgID)
            *ppszVerIndProgID = verInd.Detach();
        return S_OK;
    });
}

STDMETHODIMP COPCServerList::CLSIDFromProgID(LPCWSTR szProgId, LPCLSID clsid)
{
    if (!IsWritableOut(clsid))
        return E_INVALIDARG;
    *clsid = CLSID_NULL;
    if (!szProgId)
        return E_INVALIDARG;
    return ::CLSIDFromProgID(szProgId, clsid);
}
