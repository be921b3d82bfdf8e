// opcda-client servers: the OPC DA servers of this machine, listed through
// the OPC server list by their component categories.
#include "client/Session.h"

#include <comcat.h>

#include <cstring>
#include <map>

namespace opcda_client {

namespace {
const GUID* const kCategories[] = {&CATID_OPCDAServer10, &CATID_OPCDAServer20, &CATID_OPCDAServer30};
const wchar_t* const kCategoryNames[] = {L"DA1.0", L"DA2.0", L"DA3.0"};

std::wstring GuidText(const GUID& g)
{
    wchar_t text[40] = L"";
    StringFromGUID2(g, text, 40);
    return text;
}

struct GuidLess {
    bool operator()(const GUID& a, const GUID& b) const { return memcmp(&a, &b, sizeof(GUID)) < 0; }
};
}  // namespace

int CmdServers(const Options&)
{
    ComPtr<IOPCServerList2> list2;
    ComPtr<IOPCServerList> list;
    HRESULT hr = CoCreateInstance(CLSID_OPCServerList, nullptr, CLSCTX_LOCAL_SERVER | CLSCTX_INPROC_SERVER,
                                  IID_IOPCServerList2, reinterpret_cast<void**>(list2.GetAddressOf()));
    if (FAILED(hr))
        hr = CoCreateInstance(CLSID_OPCServerList, nullptr, CLSCTX_LOCAL_SERVER | CLSCTX_INPROC_SERVER, IID_IOPCServerList,
                              reinterpret_cast<void**>(list.GetAddressOf()));
    if (FAILED(hr)) {
        Fail(L"creating the OPC server list (OPC.ServerList.1)", hr);
        return kNoServer;
    }
    // Each server once, with the categories it is listed in.
    std::map<GUID, std::wstring, GuidLess> found;
    for (size_t c = 0; c < sizeof(kCategories) / sizeof(kCategories[0]); ++c) {
        CATID catid = *kCategories[c];
        std::vector<GUID> classes;
        GUID clsid;
        ULONG fetched = 0;
        if (list2) {
            ComPtr<IOPCEnumGUID> e;
            hr = list2->EnumClassesOfCategories(1, &catid, 0, nullptr, e.GetAddressOf());
            while (SUCCEEDED(hr) && e && e->Next(1, &clsid, &fetched) == S_OK && fetched == 1)
                classes.push_back(clsid);
        } else {
            ComPtr<IEnumGUID> e;
            hr = list->EnumClassesOfCategories(1, &catid, 0, nullptr, e.GetAddressOf());
            while (SUCCEEDED(hr) && e && e->Next(1, &clsid, &fetched) == S_OK && fetched == 1)
                classes.push_back(clsid);
        }
        if (FAILED(hr)) {
            Fail(L"EnumClassesOfCategories", hr);
            return kCallFailed;
        }
        for (const GUID& g : classes) {
            std::wstring& categories = found[g];
            categories += (categories.empty() ? L"" : L" ") + std::wstring(kCategoryNames[c]);
        }
    }
    for (const auto& server : found) {
        LPWSTR progId = nullptr, userType = nullptr, verInd = nullptr;
        hr = list2 ? list2->GetClassDetails(server.first, &progId, &userType, &verInd)
                   : list->GetClassDetails(server.first, &progId, &userType);
        if (FAILED(hr)) {
            wprintf(L"%ls  (no details: %ls)  %ls\n", GuidText(server.first).c_str(), HResultText(hr).c_str(),
                    server.second.c_str());
            continue;
        }
        wprintf(L"%ls  %-24ls %-22ls \"%ls\"  %ls\n", GuidText(server.first).c_str(), progId,
                verInd ? verInd : L"", userType, server.second.c_str());
        CoTaskMemFree(progId);
        CoTaskMemFree(userType);
        CoTaskMemFree(verInd);
    }
    if (found.empty())
        wprintf(L"no OPC DA server is registered\n");
    return kOk;
}

}  // namespace opcda_client
