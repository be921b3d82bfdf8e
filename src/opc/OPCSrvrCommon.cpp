// The server object's OPC Common session: locale, error texts, client name.
#include "opc/OPCSrvr.h"

#include "common/ComUtil.h"
#include "common/OpcErrors.h"
#include "common/Trace.h"
#include "host/ClientWatch.h"

namespace {
// The locales a session accepts: English (United States) and the three
// neutral ones clients pass (neutral, user default, system default).
const LCID kLocales[] = {MAKELCID(MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), SORT_DEFAULT), LOCALE_NEUTRAL,
                         LOCALE_USER_DEFAULT, LOCALE_SYSTEM_DEFAULT};
}  // namespace

STDMETHODIMP COPCServer::SetLocaleID(LCID dwLcid)
{
    for (LCID l : kLocales) {
        if (l == dwLcid) {
            CCsLock lock(m_csServer);
            m_lcidSession = dwLcid;
            return S_OK;
        }
    }
    return E_INVALIDARG;
}

STDMETHODIMP COPCServer::GetLocaleID(LCID* pdwLcid)
{
    if (!IsWritableOut(pdwLcid))
        return E_INVALIDARG;
    CCsLock lock(m_csServer);
    *pdwLcid = m_lcidSession;
    return S_OK;
}

STDMETHODIMP COPCServer::QueryAvailableLocaleIDs(DWORD* pdwCount, LCID** pdwLcid)
{
    if (!IsWritableOut(pdwCount) || !IsWritableOut(pdwLcid))
        return E_INVALIDARG;
    *pdwCount = 0;
    *pdwLcid = nullptr;
    const DWORD n = sizeof(kLocales) / sizeof(kLocales[0]);
    CTaskMem<LCID> list;
    if (!list.Allocate(n))
        return E_OUTOFMEMORY;
    for (DWORD i = 0; i < n; ++i)
        list[i] = kLocales[i];
    *pdwLcid = list.Detach();
    *pdwCount = n;
    return S_OK;
}

STDMETHODIMP COPCServer::GetErrorString(HRESULT dwError, LPWSTR* ppString)
{
    if (!IsWritableOut(ppString))
        return E_INVALIDARG;
    *ppString = nullptr;
    LCID lcid;
    {
        CCsLock lock(m_csServer);
        lcid = m_lcidSession;
    }
    // Every OPC code has a text of its own (English: the language of every
    // locale the session takes); other codes have the system's.
    return ComBoundary([&]() -> HRESULT {
        const std::wstring text = ResultCodeText(dwError, LANGIDFROMLCID(lcid));
        if (text.empty())
            return E_FAIL;
        *ppString = TaskMemStrDup(text.c_str());
        return *ppString ? S_OK : E_OUTOFMEMORY;
    });
}

STDMETHODIMP COPCServer::SetClientName(LPCWSTR szName)
{
    if (!szName)
        return E_INVALIDARG;
    return ComBoundary([&]() -> HRESULT {
        CCsLock lock(m_csServer);
        m_strClientName = szName;
        DebugTrace(L"COPCServer::%p client name \"%s\"\n", static_cast<void*>(this), szName);
        return S_OK;
    });
}

std::wstring COPCServer::ClientName()
{
    CCsLock lock(m_csServer);
    return m_strClientName;
}

STDMETHODIMP COPCServer::EnumConnectionPoints(IEnumConnectionPoints** ppEnum)
{
    CConnectionPoint* points[] = {&m_cpShutdown};
    HRESULT hr = EnumConnectionPointsIn(points, 1, ppEnum);
    if (SUCCEEDED(hr))
        TrackClientObject(static_cast<IConnectionPoint*>(&m_cpShutdown), &m_refs, L"COPCServer");
    return hr;
}

STDMETHODIMP COPCServer::FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP)
{
    CConnectionPoint* points[] = {&m_cpShutdown};
    HRESULT hr = FindConnectionPointIn(points, 1, riid, ppCP);
    // The point is an object of its own for a client: a dead client's
    // references on it are dropped like those on the server object.
    if (SUCCEEDED(hr))
        TrackClientObject(static_cast<IConnectionPoint*>(&m_cpShutdown), &m_refs, L"COPCServer");
    return hr;
}

void COPCServer::RequestShutdown(LPCWSTR reason)
{
    std::vector<CConnectionPoint::Connection> sinks = m_cpShutdown.Sinks();
    for (CConnectionPoint::Connection& c : sinks) {
        HRESULT hr = static_cast<IOPCShutdown*>(c.sink)->ShutdownRequest(reason ? reason : L"");
        DebugTrace(L"COPCServer::%p ShutdownRequest: 0x%08lX\n", static_cast<void*>(this), static_cast<unsigned long>(hr));
        m_cpShutdown.DropIfClientGone(c.cookie, hr);
    }
    CConnectionPoint::ReleaseSnapshot(sinks);
}
