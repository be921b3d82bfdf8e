// Item properties: what the item set knows of an item and a device sample.
#include "core/Cache.h"
#include "sim/SimItems.h"
#include "OpcTestUtil.h"

#include <map>

namespace {
class PropertiesTest : public ServerFixture {
protected:
    void SetUp() override
    {
        ServerFixture::SetUp();
        ASSERT_EQ(S_OK, server.As(&props));
    }
    void TearDown() override
    {
        props.Reset();
        ServerFixture::TearDown();
    }
    std::map<DWORD, VARTYPE> Available(const wchar_t* id)
    {
        std::map<DWORD, VARTYPE> out;
        DWORD n = 0;
        DWORD* ids = nullptr;
        LPWSTR* texts = nullptr;
        VARTYPE* types = nullptr;
        EXPECT_EQ(S_OK, props->QueryAvailableProperties(const_cast<LPWSTR>(id), &n, &ids, &texts, &types));
        for (DWORD i = 0; i < n; ++i) {
            out[ids[i]] = types[i];
            EXPECT_NE(nullptr, texts[i]);
            CoTaskMemFree(texts[i]);
        }
        CoTaskMemFree(ids);
        CoTaskMemFree(texts);
        CoTaskMemFree(types);
        return out;
    }
    ComPtr<IOPCItemProperties> props;
};
}  // namespace

TEST_F(PropertiesTest, AvailablePropertiesFollowTheItemKind)
{
    VARTYPE canonical = VT_EMPTY;
    ASSERT_EQ(S_OK, pGlobalDeviceItems->GetCanonicalTypeByID(L"set1.item", &canonical));
    auto value = Available(L"set1.item");
    EXPECT_EQ(10u, value.size());
    EXPECT_EQ(VT_I2, value[1]);
    EXPECT_EQ(canonical, value[2]);
    EXPECT_EQ(VT_I2, value[3]);
    EXPECT_EQ(VT_DATE, value[4]);
    EXPECT_EQ(VT_I4, value[5]);
    EXPECT_EQ(VT_R4, value[6]);
    EXPECT_EQ(VT_I4, value[7]);
    EXPECT_EQ(VT_ARRAY | VT_R8, value[8]);
    EXPECT_EQ(VT_R8, value[102]);
    EXPECT_EQ(VT_R8, value[103]);
    auto fct = Available(L"SET1.FCT");  // the item grammar folds letter case
    EXPECT_EQ(8u, fct.size());
    EXPECT_EQ(VT_ARRAY | VT_BSTR, fct[8]);
    EXPECT_EQ(0u, fct.count(102));
}

TEST_F(PropertiesTest, ValuesComeFromWhatTheItemSetKnowsAndADeviceSample)
{
    // The function written through a group is what the property shows.
    auto g = AddGroup(L"g");
    auto h = AddItems(g.Get(), {L"set5.fct"});
    ComPtr<IOPCSyncIO> sync;
    g.As(&sync);
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_UI1;
    v.bVal = 2;
    HRESULT* errors = nullptr;
    ASSERT_EQ(S_OK, sync->Write(1, h.data(), &v, &errors));
    CoTaskMemFree(errors);

    DWORD ids[] = {1, 2, 3, 4, 5, 6, 7, 8, 999};
    VARIANT* values = nullptr;
    ASSERT_EQ(S_FALSE, props->GetItemProperties(const_cast<LPWSTR>(L"set5.fct"), 9, ids, &values, &errors));
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(S_OK, errors[i]) << ids[i];
    EXPECT_EQ(OPC_E_INVALID_PID, errors[8]);
    EXPECT_EQ(VT_EMPTY, values[8].vt);
    EXPECT_EQ(VT_UI1, values[1].vt);
    EXPECT_EQ(2, values[1].bVal);
    EXPECT_EQ(192, values[2].iVal);  // sampled: good
    SYSTEMTIME st;
    GetSystemTime(&st);
    double now = 0;
    SystemTimeToVariantTime(&st, &now);
    EXPECT_EQ(VT_DATE, values[3].vt);
    EXPECT_NEAR(now, values[3].date, 1.0 / 24);
    EXPECT_EQ(OPC_READABLE | OPC_WRITEABLE, values[4].lVal);
    EXPECT_FLOAT_EQ(10.0f, values[5].fltVal);
    EXPECT_EQ(OPC_ENUMERATED, values[6].lVal);
    ASSERT_EQ(VT_ARRAY | VT_BSTR, values[7].vt);
    LONG ub = 0;
    SafeArrayGetUBound(values[7].parray, 1, &ub);
    EXPECT_EQ(3, ub);  // Sine, Ramp, Noise, Counter
    for (int i = 0; i < 9; ++i)
        VariantClear(&values[i]);
    CoTaskMemFree(values);
    CoTaskMemFree(errors);

    DWORD range[] = {8, 102, 103};
    ASSERT_EQ(S_OK, props->GetItemProperties(const_cast<LPWSTR>(L"set5.item"), 3, range, &values, &errors));
    ASSERT_EQ(VT_ARRAY | VT_R8, values[0].vt);
    double* bounds = nullptr;
    SafeArrayAccessData(values[0].parray, reinterpret_cast<void**>(&bounds));
    EXPECT_EQ(bounds[0], values[2].dblVal);  // low
    EXPECT_EQ(bounds[1], values[1].dblVal);  // high
    SafeArrayUnaccessData(values[0].parray);
    for (int i = 0; i < 3; ++i)
        VariantClear(&values[i]);
    CoTaskMemFree(values);
    CoTaskMemFree(errors);
}

TEST_F(PropertiesTest, BadInputGivesClearCodesAndLeavesNothing)
{
    const size_t entries = g_cache.EntryCount();
    DWORD id = 2;
    VARIANT* values = nullptr;
    HRESULT* errors = nullptr;
    DWORD n = 0;
    DWORD* ids = nullptr;
    LPWSTR* texts = nullptr;
    VARTYPE* types = nullptr;
    EXPECT_EQ(E_INVALIDARG, props->GetItemProperties(nullptr, 1, &id, &values, &errors));
    EXPECT_EQ(E_INVALIDARG, props->GetItemProperties(const_cast<LPWSTR>(L"set1.item"), 0, &id, &values, &errors));
    EXPECT_EQ(E_INVALIDARG, props->GetItemProperties(const_cast<LPWSTR>(L"set1.item"), 1, &id, nullptr, &errors));
    EXPECT_EQ(E_OUTOFMEMORY,
              props->GetItemProperties(const_cast<LPWSTR>(L"set1.item"), 0x7FFFFFFF, &id, &values, &errors));
    EXPECT_EQ(nullptr, values);
    EXPECT_EQ(E_INVALIDARG, props->QueryAvailableProperties(const_cast<LPWSTR>(L"set1.item"), nullptr, &ids, &texts,
                                                            &types));
    // Unknown item IDs fail as AddItems fails them.
    for (const wchar_t* bad : {L"", L"nonsense", L"set1.nope", L"set99999999.item"}) {
        DWORD h = 0;
        HRESULT expected = pGlobalDeviceItems->AddItem(bad, &h);
        ASSERT_TRUE(FAILED(expected)) << bad;
        EXPECT_EQ(expected, props->QueryAvailableProperties(const_cast<LPWSTR>(bad), &n, &ids, &texts, &types));
        EXPECT_EQ(0u, n);
        EXPECT_EQ(expected, props->GetItemProperties(const_cast<LPWSTR>(bad), 1, &id, &values, &errors));
        EXPECT_EQ(nullptr, errors);
    }
    // LookupItemIDs: no property has an item of its own.
    DWORD look[] = {1, 7, 999};
    LPWSTR* names = nullptr;
    ASSERT_EQ(S_FALSE, props->LookupItemIDs(const_cast<LPWSTR>(L"set1.item"), 3, look, &names, &errors));
    EXPECT_EQ(E_FAIL, errors[0]);
    EXPECT_EQ(E_FAIL, errors[1]);
    EXPECT_EQ(OPC_E_INVALID_PID, errors[2]);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(nullptr, names[i]);
    CoTaskMemFree(names);
    CoTaskMemFree(errors);
    EXPECT_EQ(entries, g_cache.EntryCount());  // the samples' cache entries are gone
}
