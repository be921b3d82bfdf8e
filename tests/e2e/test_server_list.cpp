// The OPC server list across processes: listing by category, class details,
// ProgIDs, and the codes of what it does not know.
#include "common/OpcDefs.h"
#include "E2eUtil.h"

#include <gtest/gtest.h>
#include <wrl/client.h>

#include <comcat.h>

#include <string>
#include <vector>

using Microsoft::WRL::ComPtr;

namespace {
const CLSID& kServerList = CLSID_OPCServerList;
const CATID& kDa10 = CATID_OPCDAServer10;
const CATID& kDa20 = CATID_OPCDAServer20;
const CATID& kDa30 = CATID_OPCDAServer30;

template <class E>
std::vector<GUID> All(E* e)
{
    std::vector<GUID> out;
    GUID g;
    ULONG fetched = 0;
    while (e->Next(1, &g, &fetched) == S_OK && fetched == 1)
        out.push_back(g);
    return out;
}

bool Contains(const std::vector<GUID>& list, const GUID& g)
{
    for (const GUID& x : list)
        if (IsEqualGUID(x, g))
            return true;
    return false;
}
}  // namespace

TEST(ServerList, ListsVantrelInEveryDaCategoryWithItsDetails)
{
    ComPtr<IOPCServerList2> list2;
    ASSERT_EQ(S_OK, CoCreateInstance(kServerList, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServerList2,
                                     reinterpret_cast<void**>(list2.GetAddressOf())));
    for (CATID catid : {kDa10, kDa20, kDa30}) {
        ComPtr<IOPCEnumGUID> e;
        ASSERT_EQ(S_OK, list2->EnumClassesOfCategories(1, &catid, 0, nullptr, e.GetAddressOf()));
        std::vector<GUID> classes = All(e.Get());
        EXPECT_TRUE(Contains(classes, CLSID_OPCServer));
        // The enumerator's own calls: more than are left, Reset, Skip, Clone.
        ASSERT_EQ(S_OK, e->Reset());
        std::vector<GUID> page(classes.size() + 3);
        ULONG fetched = 0;
        EXPECT_EQ(S_FALSE, e->Next(static_cast<ULONG>(page.size()), page.data(), &fetched));
        EXPECT_EQ(classes.size(), fetched);
        ASSERT_EQ(S_OK, e->Reset());
        ComPtr<IOPCEnumGUID> clone;
        ASSERT_EQ(S_OK, e->Clone(clone.GetAddressOf()));
        EXPECT_EQ(classes.size(), All(clone.Get()).size());
        EXPECT_EQ(S_FALSE, e->Skip(static_cast<ULONG>(classes.size() + 1)));
    }
    // Both categories at once: what implements both.
    CATID both[] = {kDa20, kDa30};
    ComPtr<IOPCEnumGUID> e;
    ASSERT_EQ(S_OK, list2->EnumClassesOfCategories(2, both, 0, nullptr, e.GetAddressOf()));
    EXPECT_TRUE(Contains(All(e.Get()), CLSID_OPCServer));

    LPWSTR progId = nullptr, userType = nullptr, verInd = nullptr;
    ASSERT_EQ(S_OK, list2->GetClassDetails(CLSID_OPCServer, &progId, &userType, &verInd));
    EXPECT_STREQ(VANTREL_PROGID, progId);
    EXPECT_STREQ(VANTREL_VI_PROGID, verInd);
    EXPECT_NE(std::wstring(), userType);
    CoTaskMemFree(progId);
    CoTaskMemFree(userType);
    CoTaskMemFree(verInd);
    CLSID clsid = CLSID_NULL;
    ASSERT_EQ(S_OK, list2->CLSIDFromProgID(VANTREL_PROGID, &clsid));
    EXPECT_TRUE(IsEqualCLSID(CLSID_OPCServer, clsid));
    ASSERT_EQ(S_OK, list2->CLSIDFromProgID(VANTREL_VI_PROGID, &clsid));
    EXPECT_TRUE(IsEqualCLSID(CLSID_OPCServer, clsid));

    // What it does not know.
    EXPECT_EQ(CO_E_CLASSSTRING, list2->CLSIDFromProgID(L"Nobody.Nothing.1", &clsid));
    EXPECT_TRUE(IsEqualCLSID(CLSID_NULL, clsid));
    const CLSID unknown = {0x01234567, 0x89AB, 0xCDEF, {1, 2, 3, 4, 5, 6, 7, 8}};
    EXPECT_EQ(REGDB_E_CLASSNOTREG, list2->GetClassDetails(unknown, &progId, &userType, &verInd));
    EXPECT_EQ(nullptr, progId);

    // The first version's interface on the same object, with IEnumGUID.
    ComPtr<IOPCServerList> list;
    ASSERT_EQ(S_OK, list2.As(&list));
    ComPtr<IEnumGUID> classic;
    CATID da10 = kDa10;
    ASSERT_EQ(S_OK, list->EnumClassesOfCategories(1, &da10, 0, nullptr, classic.GetAddressOf()));
    EXPECT_TRUE(Contains(All(classic.Get()), CLSID_OPCServer));
    ASSERT_EQ(S_OK, list->GetClassDetails(CLSID_OPCServer, &progId, &userType));
    EXPECT_STREQ(VANTREL_PROGID, progId);
    CoTaskMemFree(progId);
    CoTaskMemFree(userType);
}

TEST(ServerList, FoundByItsStandardProgId)
{
    CLSID clsid = CLSID_NULL;
    ASSERT_EQ(S_OK, CLSIDFromProgID(L"OPC.ServerList.1", &clsid));
    EXPECT_TRUE(IsEqualCLSID(kServerList, clsid));
    ComPtr<IOPCServerList> list;
    ASSERT_EQ(S_OK, CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServerList,
                                     reinterpret_cast<void**>(list.GetAddressOf())));
}
