// Item management and the item-attributes enumerator.
#include "OpcTestUtil.h"

using ItemMgtTest = ServerFixture;

namespace {
ComPtr<IOPCItemMgt> Mgt(IOPCGroupStateMgt* g)
{
    ComPtr<IOPCItemMgt> m;
    g->QueryInterface(IID_IOPCItemMgt, reinterpret_cast<void**>(m.GetAddressOf()));
    return m;
}
}  // namespace

TEST_F(ItemMgtTest, AddItemsPerItemResults)
{
    auto g = AddGroup(L"items");
    std::vector<HRESULT> errors;
    auto h = AddItems(g.Get(), {L"set501.item", L"set501.nope", L"set16777216.on", L"set501.on"}, TRUE, VT_EMPTY,
                      &errors);
    EXPECT_EQ(S_OK, errors[0]);
    EXPECT_EQ(OPC_E_UNKNOWNITEMID, errors[1]);
    EXPECT_EQ(OPC_E_RANGE, errors[2]);
    EXPECT_EQ(S_OK, errors[3]);
    EXPECT_NE(0u, h[0]);
    EXPECT_EQ(0u, h[1]);
    EXPECT_EQ(0u, h[2]);
    EXPECT_EQ(2u, Impl(g.Get())->m_items.size());

    auto mgt = Mgt(g.Get());
    OPCITEMRESULT* results = nullptr;
    HRESULT* errs = nullptr;
    EXPECT_EQ(S_OK, mgt->AddItems(0, nullptr, &results, &errs));  // zero-length arrays
    EXPECT_NE(nullptr, results);
    CoTaskMemFree(results);
    CoTaskMemFree(errs);
    EXPECT_EQ(E_INVALIDARG, mgt->AddItems(0, nullptr, nullptr, &errs));
}

TEST_F(ItemMgtTest, AnImpossibleCountFailsBeforeAnythingIsAllocated)
{
    auto g = AddGroup(L"huge");
    auto mgt = Mgt(g.Get());
    OPCITEMDEF one = {};
    OPCITEMRESULT* results = reinterpret_cast<OPCITEMRESULT*>(1);
    HRESULT* errs = reinterpret_cast<HRESULT*>(1);
    EXPECT_EQ(E_OUTOFMEMORY, mgt->AddItems(0x7FFFFFFF, &one, &results, &errs));
    EXPECT_EQ(nullptr, results);
    EXPECT_EQ(nullptr, errs);
    OPCHANDLE handle = 1;
    EXPECT_EQ(E_OUTOFMEMORY, mgt->RemoveItems(0x7FFFFFFF, &handle, &errs));
}

TEST_F(ItemMgtTest, ValidateItemsChangesNothingAndAcceptsAnyRange)
{
    auto g = AddGroup(L"validate");
    auto mgt = Mgt(g.Get());
    OPCITEMDEF defs[3] = {};
    defs[0].szItemID = const_cast<wchar_t*>(L"set16777216.on");
    defs[1].szItemID = const_cast<wchar_t*>(L"set1.fct");
    defs[2].szItemID = const_cast<wchar_t*>(L"bad");
    OPCITEMRESULT* results = nullptr;
    HRESULT* errs = nullptr;
    EXPECT_EQ(S_FALSE, mgt->ValidateItems(3, defs, FALSE, &results, &errs));
    EXPECT_EQ(S_OK, errs[0]);
    EXPECT_EQ(VT_BOOL, results[0].vtCanonicalDataType);
    EXPECT_EQ(3u, results[0].dwAccessRights);
    EXPECT_EQ(0u, results[0].hServer);
    EXPECT_EQ(VT_UI1, results[1].vtCanonicalDataType);
    EXPECT_EQ(OPC_E_UNKNOWNITEMID, errs[2]);
    EXPECT_TRUE(Impl(g.Get())->m_items.empty());
    CoTaskMemFree(results);
    CoTaskMemFree(errs);
}

TEST_F(ItemMgtTest, HandleOperationsReportStaleHandles)
{
    auto g = AddGroup(L"handles");
    auto h = AddItems(g.Get(), {L"set511.item", L"set511.on"});
    auto mgt = Mgt(g.Get());
    HRESULT* errs = nullptr;
    ASSERT_EQ(S_OK, mgt->RemoveItems(1, &h[0], &errs));
    CoTaskMemFree(errs);
    OPCHANDLE both[2] = {h[0], h[1]};
    EXPECT_EQ(S_FALSE, mgt->SetActiveState(2, both, FALSE, &errs));
    EXPECT_EQ(OPC_E_INVALIDHANDLE, errs[0]);
    EXPECT_EQ(S_OK, errs[1]);
    CoTaskMemFree(errs);
    EXPECT_FALSE(Impl(g.Get())->GetItem(h[1])->IsActive());
    OPCHANDLE clients[2] = {7, 8};
    EXPECT_EQ(S_FALSE, mgt->SetClientHandles(2, both, clients, &errs));
    CoTaskMemFree(errs);
    EXPECT_EQ(8u, Impl(g.Get())->GetItem(h[1])->GetClientHandle());
    VARTYPE types[2] = {VT_I4, VT_I4};
    EXPECT_EQ(S_FALSE, mgt->SetDatatypes(2, both, types, &errs));
    CoTaskMemFree(errs);
    EXPECT_EQ(VT_I4, Impl(g.Get())->GetItem(h[1])->m_vtRequested);
    types[1] = VT_EMPTY;  // back to the canonical type
    mgt->SetDatatypes(2, both, types, &errs);
    CoTaskMemFree(errs);
    EXPECT_EQ(VT_BOOL, Impl(g.Get())->GetItem(h[1])->m_vtRequested);
    EXPECT_EQ(S_FALSE, mgt->RemoveItems(2, both, &errs));
    EXPECT_EQ(OPC_E_INVALIDHANDLE, errs[0]);
    EXPECT_EQ(S_OK, errs[1]);
    CoTaskMemFree(errs);
}

TEST_F(ItemMgtTest, EnumeratorSnapshotNextSkipClone)
{
    auto g = AddGroup(L"enum");
    auto mgt = Mgt(g.Get());
    ComPtr<IUnknown> unk;
    EXPECT_EQ(S_FALSE, mgt->CreateEnumerator(IID_IEnumOPCItemAttributes, unk.GetAddressOf()));
    EXPECT_EQ(nullptr, unk.Get());
    auto h = AddItems(g.Get(), {L"set521.item", L"set521.fct", L"set521.on"});
    EXPECT_EQ(E_INVALIDARG, mgt->CreateEnumerator(IID_IEnumString, unk.GetAddressOf()));
    ASSERT_EQ(S_OK, mgt->CreateEnumerator(IID_IEnumOPCItemAttributes, unk.GetAddressOf()));
    ComPtr<IEnumOPCItemAttributes> e;
    unk.As(&e);
    HRESULT* errs = nullptr;
    mgt->RemoveItems(1, &h[0], &errs);  // the snapshot still lists it
    CoTaskMemFree(errs);

    OPCITEMATTRIBUTES* attrs = nullptr;
    ULONG fetched = 0;
    EXPECT_EQ(E_POINTER, e->Next(2, &attrs, nullptr));
    ASSERT_EQ(S_OK, e->Next(1, &attrs, &fetched));
    ASSERT_EQ(1u, fetched);
    EXPECT_STREQ(L"set521.item", attrs[0].szItemID);
    EXPECT_EQ(h[0], attrs[0].hServer);
    EXPECT_EQ(static_cast<DWORD>(OPC_ANALOG), static_cast<DWORD>(attrs[0].dwEUType));
    EXPECT_EQ(VT_ARRAY | VT_R8, attrs[0].vEUInfo.vt);
    EXPECT_EQ(VT_R8, attrs[0].vtRequestedDataType);  // VT_EMPTY asked: the canonical type
    FreeItemAttributesArray(1, attrs, TaskMemFreeFn);

    ComPtr<IEnumOPCItemAttributes> clone;
    ASSERT_EQ(S_OK, e->Clone(clone.GetAddressOf()));
    e.Reset();
    unk.Reset();  // the clone keeps the snapshot alive
    EXPECT_EQ(S_FALSE, clone->Next(5, &attrs, &fetched));
    EXPECT_EQ(2u, fetched);
    FreeItemAttributesArray(fetched, attrs, TaskMemFreeFn);
    EXPECT_EQ(S_FALSE, clone->Next(1, &attrs, &fetched));
    EXPECT_EQ(0u, fetched);
    CoTaskMemFree(attrs);
    EXPECT_EQ(S_OK, clone->Reset());
    EXPECT_EQ(S_FALSE, clone->Skip(3));  // exactly to the end
    EXPECT_EQ(S_OK, clone->Reset());
    EXPECT_EQ(S_OK, clone->Skip(1));
}
