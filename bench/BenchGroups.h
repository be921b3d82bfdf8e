// Groups and items for the cross-process benchmarks: a group, items of a
// range of sets, and sets switched to Noise (every sample a change).
#pragma once
#include "common/OpcDefs.h"

#include <cstdio>
#include <string>
#include <vector>

// The registered server (the main class unless told), or NULL after saying
// why.
inline IOPCServer* CreateServerOrSay(REFCLSID clsid = CLSID_OPCServer)
{
    IOPCServer* server = nullptr;
    HRESULT hr = CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer,
                                  reinterpret_cast<void**>(&server));
    if (FAILED(hr))
        printf("cannot create the server: 0x%08lX (register it first)\n", static_cast<unsigned long>(hr));
    return server;
}

inline IOPCItemMgt* AddGroup(IOPCServer* server, const wchar_t* name, BOOL active, DWORD rate, OPCHANDLE* phGroup)
{
    IOPCItemMgt* mgt = nullptr;
    DWORD revised;
    server->AddGroup(name, active, rate, 1, nullptr, nullptr, 0, phGroup, &revised, IID_IOPCItemMgt,
                     reinterpret_cast<IUnknown**>(&mgt));
    return mgt;
}

// The item IDs "set<first>.<kind>" ... "set<first + n - 1>.<kind>".
inline std::vector<std::wstring> SetItemIds(int first, int n, const wchar_t* kind)
{
    std::vector<std::wstring> ids;
    for (int i = 0; i < n; ++i)
        ids.push_back(L"set" + std::to_wstring(first + i) + L"." + kind);
    return ids;
}

// Adds the items (client handles 0, 1, ...); their server handles.
inline std::vector<OPCHANDLE> AddItemIds(IOPCItemMgt* mgt, const std::vector<std::wstring>& ids, BOOL active)
{
    const size_t n = ids.size();
    std::vector<OPCITEMDEF> defs(n);
    for (size_t i = 0; i < n; ++i) {
        defs[i] = OPCITEMDEF{};
        defs[i].szItemID = const_cast<wchar_t*>(ids[i].c_str());
        defs[i].szAccessPath = const_cast<wchar_t*>(L"");
        defs[i].bActive = active;
        defs[i].hClient = static_cast<OPCHANDLE>(i);
    }
    OPCITEMRESULT* results = nullptr;
    HRESULT* errors = nullptr;
    std::vector<OPCHANDLE> h;
    if (FAILED(mgt->AddItems(static_cast<DWORD>(n), defs.data(), &results, &errors)))
        return h;
    for (size_t i = 0; i < n; ++i)
        h.push_back(results[i].hServer);
    CoTaskMemFree(results);
    CoTaskMemFree(errors);
    return h;
}

inline std::vector<OPCHANDLE> AddItems(IOPCItemMgt* mgt, int first, int n, const wchar_t* kind, BOOL active)
{
    return AddItemIds(mgt, SetItemIds(first, n, kind), active);
}

// Switches sets [first, first + n) to Noise and on; the group keeps them.
inline IOPCItemMgt* NoiseSets(IOPCServer* server, int first, int n, OPCHANDLE* phGroup)
{
    IOPCItemMgt* params = AddGroup(server, (L"params" + std::to_wstring(first)).c_str(), FALSE, 1000, phGroup);
    std::vector<OPCHANDLE> h = AddItems(params, first, n, L"fct", FALSE);
    std::vector<OPCHANDLE> on = AddItems(params, first, n, L"on", FALSE);
    h.insert(h.end(), on.begin(), on.end());
    std::vector<VARIANT> values(h.size());
    for (int i = 0; i < n; ++i) {
        values[i].vt = VT_UI1;
        values[i].bVal = 2;
        values[n + i].vt = VT_BOOL;
        values[n + i].boolVal = VARIANT_TRUE;
    }
    IOPCSyncIO* sync = nullptr;
    params->QueryInterface(IID_IOPCSyncIO, reinterpret_cast<void**>(&sync));
    HRESULT* errors = nullptr;
    sync->Write(static_cast<DWORD>(h.size()), h.data(), values.data(), &errors);
    CoTaskMemFree(errors);
    sync->Release();
    return params;
}

