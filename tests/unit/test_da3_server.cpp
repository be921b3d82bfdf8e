// The server object's DA 3.0 interfaces: IOPCBrowse (pages, continuation
// points, filters, properties) and IOPCItemIO (MaxAge reads, VQT writes).
#include "BrowsePages.h"
#include "HostileInput.h"
#include "OpcTestUtil.h"
#include "common/ComUtil.h"
#include "opc/ItemFacts.h"

#include <set>
#include <string>
#include <vector>

namespace {
class Da3ServerTest : public ServerFixture {
protected:
    ComPtr<IOPCBrowse> Browser()
    {
        ComPtr<IOPCBrowse> b;
        EXPECT_EQ(S_OK, server.As(&b));
        return b;
    }
};
}  // namespace

TEST_F(Da3ServerTest, BrowseInPagesGivesExactlyTheFlatList)
{
    auto b = Browser();
    // The flat list of the 1.0a browse interface, for comparison.
    ComPtr<IOPCBrowseServerAddressSpace> old;
    ASSERT_EQ(S_OK, server.As(&old));
    ComPtr<IEnumString> e;
    ASSERT_EQ(S_OK, old->BrowseOPCItemIDs(OPC_FLAT, L"", VT_EMPTY, 0, e.GetAddressOf()));
    std::multiset<std::wstring> flat;
    LPOLESTR s = nullptr;
    ULONG fetched = 0;
    while (e->Next(1, &s, &fetched) == S_OK) {
        flat.insert(s);
        CoTaskMemFree(s);
    }
    for (DWORD max : {0u, 1u, 2u, 3u}) {
        auto walked = WalkItems(b.Get(), L"", max);
        EXPECT_EQ(flat, std::multiset<std::wstring>(walked.begin(), walked.end())) << "pages of " << max;
    }

    BrowsePage root = BrowseOnce(b.Get(), L"", nullptr, 0);
    ASSERT_EQ(S_OK, root.hr);
    ASSERT_EQ(1u, root.names.size());
    EXPECT_EQ(L"setX", root.names[0]);
    EXPECT_EQ(static_cast<DWORD>(OPC_BROWSE_HASCHILDREN), root.flags[0]);
    EXPECT_FALSE(root.more);
    BrowsePage branches = BrowseOnce(b.Get(), L"setX", nullptr, 0, OPC_BROWSE_FILTER_BRANCHES);
    EXPECT_EQ(S_FALSE, branches.hr);  // no branch below
    BrowsePage named = BrowseOnce(b.Get(), L"setX", nullptr, 0, OPC_BROWSE_FILTER_ITEMS, L"*o*");
    EXPECT_EQ((std::vector<std::wstring>{L"on", L"period"}), named.names);
    BrowsePage vendor = BrowseOnce(b.Get(), L"setX", nullptr, 0, OPC_BROWSE_FILTER_ALL, L"", L"setX.item*");
    EXPECT_EQ((std::vector<std::wstring>{L"setX.itemY"}), vendor.ids);
    BrowsePage leaf = BrowseOnce(b.Get(), L"setX.on", nullptr, 0);
    EXPECT_EQ(S_FALSE, leaf.hr);
    EXPECT_TRUE(leaf.ids.empty());

    // Properties with the elements: those of every item of the pattern.
    BrowsePage props = BrowseOnce(b.Get(), L"setX", nullptr, 0, OPC_BROWSE_FILTER_ITEMS, L"period", L"", TRUE, TRUE);
    ASSERT_EQ(1u, props.propertyCounts.size());
    EXPECT_EQ(10u, props.propertyCounts[0]);  // an analog item
}

TEST_F(Da3ServerTest, ContinuationPointsThatAreForeignStaleOrForAnotherBrowseAreRefused)
{
    auto b = Browser();
    LPWSTR point = nullptr;
    BrowsePage first = BrowseOnce(b.Get(), L"setX", &point, 2);
    ASSERT_EQ(S_OK, first.hr);
    ASSERT_NE(nullptr, point);
    EXPECT_TRUE(first.more);
    const std::wstring saved = point;
    // The same point for another browse, and a point of nobody.
    LPWSTR other = TaskMemStrDup(saved.c_str());
    EXPECT_EQ(OPC_E_INVALIDCONTINUATIONPOINT, BrowseOnce(b.Get(), L"setX", &other, 2, OPC_BROWSE_FILTER_ITEMS).hr);
    EXPECT_STREQ(saved.c_str(), other);  // left as it was
    CoTaskMemFree(other);
    for (const wchar_t* bad : {L"junk", L"VTB1:1:00000000", L"VTB1:99", L"VTB1:"}) {
        LPWSTR p = TaskMemStrDup(bad);
        EXPECT_EQ(OPC_E_INVALIDCONTINUATIONPOINT, BrowseOnce(b.Get(), L"setX", &p, 2).hr) << bad;
        CoTaskMemFree(p);
    }
    // The point resumes exactly where the page ended, and may be used again.
    LPWSTR again = TaskMemStrDup(saved.c_str());
    BrowsePage second = BrowseOnce(b.Get(), L"setX", &point, 2);
    BrowsePage repeat = BrowseOnce(b.Get(), L"setX", &again, 2);
    EXPECT_EQ(second.ids, repeat.ids);
    EXPECT_NE(first.ids[0], second.ids[0]);
    CoTaskMemFree(point);
    CoTaskMemFree(again);

    DWORD n = 5;
    BOOL more = TRUE;
    OPCBROWSEELEMENT* e = reinterpret_cast<OPCBROWSEELEMENT*>(1);
    LPWSTR none = nullptr;
    EXPECT_EQ(E_INVALIDARG, b->Browse(const_cast<LPWSTR>(L""), &none, 0, static_cast<OPCBROWSEFILTER>(9),
                                      const_cast<LPWSTR>(L""), const_cast<LPWSTR>(L""), FALSE, FALSE, 0, nullptr,
                                      &more, &n, &e));
    EXPECT_EQ(0u, n);
    EXPECT_EQ(nullptr, e);
    EXPECT_EQ(E_INVALIDARG, b->Browse(const_cast<LPWSTR>(L""), &none, 0, OPC_BROWSE_FILTER_ALL,
                                      const_cast<LPWSTR>(L""), const_cast<LPWSTR>(L""), FALSE, FALSE, 0, nullptr,
                                      nullptr, &n, &e));
    EXPECT_EQ(OPC_E_UNKNOWNITEMID, BrowseOnce(b.Get(), L"nowhere", nullptr, 0).hr);
}

TEST_F(Da3ServerTest, GetPropertiesPerItemWithAndWithoutValues)
{
    CountingMallocSpy memory;
    ASSERT_EQ(S_OK, CoRegisterMallocSpy(&memory));
    {
        auto b = Browser();
        LPWSTR ids[] = {const_cast<LPWSTR>(L"set5.period"), const_cast<LPWSTR>(L"set5.on"),
                        const_cast<LPWSTR>(L"bogus")};
        OPCITEMPROPERTIES* props = nullptr;
        ASSERT_EQ(S_FALSE, b->GetProperties(3, ids, TRUE, 0, nullptr, &props));
        EXPECT_EQ(S_OK, props[0].hrErrorID);
        EXPECT_EQ(10u, props[0].dwNumProperties);
        EXPECT_EQ(8u, props[1].dwNumProperties);  // not analog: no 102/103
        EXPECT_EQ(VT_R8, props[0].pItemProperties[1].vValue.vt);
        EXPECT_STREQ(L"Item Value", props[0].pItemProperties[1].szDescription);
        EXPECT_EQ(nullptr, props[0].pItemProperties[1].szItemID);
        EXPECT_EQ(OPC_E_UNKNOWNITEMID, props[2].hrErrorID);
        for (int i = 0; i < 3; ++i)
            FreeItemProperties(props[i]);
        CoTaskMemFree(props);

        DWORD wanted[] = {1, 103, 4711};
        ASSERT_EQ(S_FALSE, b->GetProperties(2, ids, FALSE, 3, wanted, &props));
        EXPECT_EQ(3u, props[1].dwNumProperties);
        EXPECT_EQ(S_OK, props[1].pItemProperties[0].hrErrorID);
        EXPECT_EQ(VT_EMPTY, props[1].pItemProperties[0].vValue.vt);  // no values asked for
        EXPECT_EQ(OPC_E_INVALID_PID, props[1].pItemProperties[1].hrErrorID);  // not analog
        EXPECT_EQ(OPC_E_INVALID_PID, props[0].pItemProperties[2].hrErrorID);
        EXPECT_EQ(S_FALSE, props[0].hrErrorID);
        for (int i = 0; i < 2; ++i)
            FreeItemProperties(props[i]);
        CoTaskMemFree(props);

        EXPECT_EQ(E_INVALIDARG, b->GetProperties(0, ids, TRUE, 0, nullptr, &props));
        EXPECT_EQ(E_INVALIDARG, b->GetProperties(1, ids, TRUE, 2, nullptr, &props));
        EXPECT_EQ(E_INVALIDARG, b->GetProperties(1, ids, TRUE, 0, nullptr, nullptr));
        EXPECT_EQ(E_OUTOFMEMORY, b->GetProperties(0x7FFFFFFF, ids, TRUE, 0, nullptr, &props));
    }
    server.Reset();
    EXPECT_EQ(0u, memory.Live());
    CoRevokeMallocSpy();
}

TEST_F(Da3ServerTest, ItemIOReadsWithMaxAgeAndRefusesQualityAndTimeStampWrites)
{
    ComPtr<IOPCItemIO> io;
    ASSERT_EQ(S_OK, server.As(&io));
    // An active group keeps set 6 sampled; the test is the device, so its
    // cached value is what the test put there.
    std::vector<OPCHANDLE> h;
    auto g = ActiveGroupWithItems(L"keeps", {L"set6.item"}, &h);
    SetCache(Impl(g.Get()), h[0], 42.0);
    LPCWSTR ids[] = {L"set6.item", L"set6.item", L"set6.item", L"nope.item"};
    DWORD ages[] = {kMaxAgeCache, 60000, 0, 0};
    VARIANT* values = nullptr;
    WORD* qualities = nullptr;
    FILETIME* times = nullptr;
    HRESULT* errors = nullptr;
    ASSERT_EQ(S_FALSE, io->Read(4, ids, ages, &values, &qualities, &times, &errors));
    EXPECT_EQ(42.0, values[0].dblVal);  // the cache
    EXPECT_EQ(42.0, values[1].dblVal);  // young enough
    EXPECT_NE(42.0, values[2].dblVal);  // a fresh sample of the device
    EXPECT_EQ(OPC_QUALITY_GOOD, qualities[2]);
    EXPECT_EQ(OPC_E_UNKNOWNITEMID, errors[3]);
    EXPECT_EQ(OPC_QUALITY_BAD, qualities[3]);
    EXPECT_EQ(VT_EMPTY, values[3].vt);
    for (int i = 0; i < 4; ++i)
        VariantClear(&values[i]);
    CoTaskMemFree(values);
    CoTaskMemFree(qualities);
    CoTaskMemFree(times);
    CoTaskMemFree(errors);

    OPCITEMVQT vqt[3] = {};
    LPCWSTR targets[] = {L"set6.period", L"set6.period", L"set6.item"};
    for (auto& v : vqt) {
        v.vDataValue.vt = VT_I4;
        v.vDataValue.lVal = 250;
    }
    vqt[1].bQualitySpecified = TRUE;
    ASSERT_EQ(S_FALSE, io->WriteVQT(3, targets, vqt, &errors));
    EXPECT_EQ(S_OK, errors[0]);
    EXPECT_EQ(OPC_E_NOTSUPPORTED, errors[1]);
    EXPECT_EQ(E_FAIL, errors[2]);  // the value itself is not writable
    CoTaskMemFree(errors);
    EXPECT_EQ(E_INVALIDARG, io->WriteVQT(0, targets, vqt, &errors));
    EXPECT_EQ(E_INVALIDARG, io->Read(1, ids, nullptr, &values, &qualities, &times, &errors));
    EXPECT_EQ(E_INVALIDARG, io->Read(1, ids, ages, &values, nullptr, &times, &errors));
    EXPECT_EQ(E_OUTOFMEMORY, io->Read(0x7FFFFFFF, ids, ages, &values, &qualities, &times, &errors));
    g.Reset();
}

// An item no group keeps sampled has no cached value: it is read from the
// device whatever the MaxAge (the default period of a new set is 1000 ms).
TEST_F(Da3ServerTest, ItemIOReadsAnItemWithNoCachedValueFromTheDevice)
{
    ComPtr<IOPCItemIO> io;
    ASSERT_EQ(S_OK, server.As(&io));
    LPCWSTR ids[] = {L"set61.period", L"set61.period", L"set61.period"};
    DWORD ages[] = {kMaxAgeCache, 1000, 0};
    VARIANT* values = nullptr;
    WORD* qualities = nullptr;
    FILETIME* times = nullptr;
    HRESULT* errors = nullptr;
    ASSERT_EQ(S_OK, io->Read(3, ids, ages, &values, &qualities, &times, &errors));
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(S_OK, errors[i]) << i;
        EXPECT_EQ(OPC_QUALITY_GOOD, qualities[i]) << i;
        ASSERT_EQ(VT_R8, values[i].vt) << i;
        EXPECT_EQ(1000.0, values[i].dblVal) << i;
        EXPECT_NE(0u, times[i].dwHighDateTime) << i;
        VariantClear(&values[i]);
    }
    CoTaskMemFree(values);
    CoTaskMemFree(qualities);
    CoTaskMemFree(times);
    CoTaskMemFree(errors);
}
