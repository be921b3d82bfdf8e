// IOPCBrowse in the tests, in-process and through the proxy: one Browse call
// as a page of plain values (the call's memory freed), and a walk of the
// whole tree below an item ID through continuation points.
#pragma once
#include "common/OpcDefs.h"
#include "common/OpcRecords.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

struct BrowsePage {
    HRESULT hr = E_FAIL;
    BOOL more = FALSE;
    std::vector<std::wstring> names, ids;
    std::vector<DWORD> flags;
    std::vector<DWORD> propertyCounts;
};

// One Browse call; *point is the caller's task-memory string (or NULL), a
// NULL point a first call.
inline BrowsePage BrowseOnce(IOPCBrowse* b, const wchar_t* id, LPWSTR* point, DWORD max,
                             OPCBROWSEFILTER filter = OPC_BROWSE_FILTER_ALL, const wchar_t* names = L"",
                             const wchar_t* vendor = L"", BOOL allProperties = FALSE, BOOL values = FALSE)
{
    BrowsePage p;
    LPWSTR none = nullptr;
    if (!point)
        point = &none;
    DWORD n = 0, noProperty = 0;  // the property list is a reference on the wire, never NULL
    OPCBROWSEELEMENT* e = nullptr;
    p.hr = b->Browse(const_cast<LPWSTR>(id), point, max, filter, const_cast<LPWSTR>(names), const_cast<LPWSTR>(vendor),
                     allProperties, values, 0, &noProperty, &p.more, &n, &e);
    for (DWORD i = 0; e && i < n; ++i) {
        p.names.push_back(e[i].szName);
        p.ids.push_back(e[i].szItemID);
        p.flags.push_back(e[i].dwFlagValue);
        p.propertyCounts.push_back(e[i].ItemProperties.dwNumProperties);
        CoTaskMemFree(e[i].szName);
        CoTaskMemFree(e[i].szItemID);
        FreeItemProperties(e[i].ItemProperties);
    }
    CoTaskMemFree(e);
    CoTaskMemFree(none);
    return p;
}

// Every item ID below id, walked in pages of max elements; *pages counts
// the Browse calls.
inline std::vector<std::wstring> WalkItems(IOPCBrowse* b, const std::wstring& id, DWORD max, int* pages = nullptr)
{
    std::vector<std::wstring> items;
    LPWSTR point = nullptr;
    do {
        BrowsePage p = BrowseOnce(b, id.c_str(), &point, max);
        if (pages)
            ++*pages;
        EXPECT_TRUE(p.hr == S_OK || p.hr == S_FALSE) << std::hex << p.hr;
        EXPECT_EQ(p.more != FALSE, point != nullptr);  // consistent with the point
        if (max) {
            EXPECT_LE(p.ids.size(), max);
        }
        for (size_t i = 0; i < p.ids.size(); ++i) {
            if (p.flags[i] & OPC_BROWSE_ISITEM)
                items.push_back(p.ids[i]);
            if (p.flags[i] & OPC_BROWSE_HASCHILDREN)
                for (auto& child : WalkItems(b, p.ids[i], max, pages))
                    items.push_back(child);
        }
        if (FAILED(p.hr))
            break;
    } while (point);
    CoTaskMemFree(point);
    return items;
}
