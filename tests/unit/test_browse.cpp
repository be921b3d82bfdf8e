// Browse objects over the address space.
#include "OpcTestUtil.h"
#include "host/ClassFactory.h"
#include "host/Module.h"

#include <algorithm>

using BrowseTest = ServerFixture;

namespace {
std::vector<std::wstring> All(IEnumString* e)
{
    std::vector<std::wstring> out;
    LPOLESTR s = nullptr;
    ULONG fetched = 0;
    while (e && e->Next(1, &s, &fetched) == S_OK) {
        out.push_back(s);
        CoTaskMemFree(s);
    }
    return out;
}

struct Listing {
    HRESULT hr;
    std::vector<std::wstring> names;
};

Listing Browse(IOPCBrowseServerAddressSpace* b, OPCBROWSETYPE type, const wchar_t* filter = L"", DWORD rights = 0,
               VARTYPE vt = VT_EMPTY)
{
    ComPtr<IEnumString> e;
    HRESULT hr = b->BrowseOPCItemIDs(type, filter, vt, rights, e.GetAddressOf());
    return {hr, All(e.Get())};
}
}  // namespace

TEST_F(BrowseTest, RootListings)
{
    ComPtr<IOPCBrowseServerAddressSpace> b;
    ASSERT_EQ(S_OK, server.As(&b));
    OPCNAMESPACETYPE ns;
    EXPECT_EQ(S_OK, b->QueryOrganization(&ns));
    EXPECT_EQ(OPC_NS_HIERARCHIAL, ns);
    EXPECT_EQ(E_INVALIDARG, b->QueryOrganization(nullptr));

    auto branches = Browse(b.Get(), OPC_BRANCH);
    EXPECT_EQ(S_OK, branches.hr);
    EXPECT_EQ(std::vector<std::wstring>{L"setX"}, branches.names);
    auto leaves = Browse(b.Get(), OPC_LEAF);
    EXPECT_EQ(S_FALSE, leaves.hr);
    EXPECT_TRUE(leaves.names.empty());
    auto flat = Browse(b.Get(), OPC_FLAT);
    EXPECT_EQ((std::vector<std::wstring>{L"setX.T0", L"setX.fct", L"setX.itemY", L"setX.on", L"setX.period"}),
              flat.names);
    EXPECT_EQ((std::vector<std::wstring>{L"setX.on", L"setX.period"}), Browse(b.Get(), OPC_FLAT, L"*o*").names);
    EXPECT_EQ((std::vector<std::wstring>{L"setX.T0"}), Browse(b.Get(), OPC_FLAT, L"T#").names);
    EXPECT_EQ(S_FALSE, Browse(b.Get(), OPC_FLAT, L"t#").hr);
    EXPECT_EQ(E_INVALIDARG, Browse(b.Get(), OPC_FLAT, L"", 4).hr);
    EXPECT_EQ(5u, Browse(b.Get(), OPC_FLAT, L"", 2).names.size());
    EXPECT_EQ(5u, Browse(b.Get(), OPC_FLAT, L"", 0, VT_BOOL).names.size());
    // Clients ask for the item ID of every name a browse returned.
    for (const std::wstring& name : flat.names) {
        LPWSTR id = nullptr;
        ASSERT_EQ(S_OK, b->GetItemID(const_cast<wchar_t*>(name.c_str()), &id)) << name;
        EXPECT_EQ(name, id);
        CoTaskMemFree(id);
    }

    ComPtr<IEnumString> e;
    EXPECT_EQ(S_FALSE, b->BrowseOPCItemIDs(static_cast<OPCBROWSETYPE>(4), L"", VT_EMPTY, 0, e.GetAddressOf()));
    ASSERT_NE(nullptr, e.Get());
    LPOLESTR s = nullptr;
    EXPECT_EQ(S_FALSE, e->Next(1, &s, nullptr));  // nothing fetched, as every COM enumerator answers
    ULONG fetched = 7;
    EXPECT_EQ(S_FALSE, e->Next(4, &s, &fetched));
    EXPECT_EQ(0u, fetched);
}

TEST_F(BrowseTest, PositionsAreOwnedByEachBrowseObject)
{
    ComPtr<IOPCBrowseServerAddressSpace> b, other;
    ASSERT_EQ(S_OK, server.As(&b));
    ASSERT_EQ(S_OK, server.As(&other));
    EXPECT_NE(b.Get(), other.Get());
    EXPECT_EQ(E_INVALIDARG, b->ChangeBrowsePosition(OPC_BROWSE_UP, L"setX"));
    EXPECT_EQ(E_FAIL, b->ChangeBrowsePosition(OPC_BROWSE_UP, nullptr));
    EXPECT_EQ(E_FAIL, b->ChangeBrowsePosition(OPC_BROWSE_DOWN, L"setx"));
    EXPECT_EQ(E_INVALIDARG, b->ChangeBrowsePosition(OPC_BROWSE_DOWN, L""));
    EXPECT_EQ(E_INVALIDARG, b->ChangeBrowsePosition(static_cast<OPCBROWSEDIRECTION>(3), L"setX"));
    ASSERT_EQ(S_OK, b->ChangeBrowsePosition(OPC_BROWSE_DOWN, L"setX"));
    EXPECT_EQ((std::vector<std::wstring>{L"T0", L"fct", L"itemY", L"on", L"period"}), Browse(b.Get(), OPC_LEAF).names);
    EXPECT_EQ(S_FALSE, Browse(b.Get(), OPC_BRANCH).hr);
    EXPECT_EQ((std::vector<std::wstring>{L"fct"}), Browse(b.Get(), OPC_LEAF, L"[a-f]*").names);
    EXPECT_EQ((std::vector<std::wstring>{L"T0", L"on"}), Browse(b.Get(), OPC_LEAF, L"??").names);
    LPWSTR id = nullptr;
    ASSERT_EQ(S_OK, b->GetItemID(const_cast<wchar_t*>(L"itemY"), &id));
    EXPECT_STREQ(L"setX.itemY", id);
    CoTaskMemFree(id);
    // What a flat browse from here returns is an item ID already.
    ASSERT_EQ(S_OK, b->GetItemID(const_cast<wchar_t*>(L"setX.T0"), &id));
    EXPECT_STREQ(L"setX.T0", id);
    CoTaskMemFree(id);
    for (const wchar_t* unknown : {L"setX.T0x", L"set1.item", L"setX", L"T1"}) {
        EXPECT_EQ(E_FAIL, b->GetItemID(const_cast<wchar_t*>(unknown), &id)) << unknown;
        EXPECT_EQ(nullptr, id);
    }
    // An empty name gives where the position is.
    ASSERT_EQ(S_OK, b->GetItemID(const_cast<wchar_t*>(L""), &id));
    EXPECT_STREQ(L"setX", id);
    CoTaskMemFree(id);
    ASSERT_EQ(S_OK, other->GetItemID(const_cast<wchar_t*>(L""), &id));
    EXPECT_STREQ(L"", id);  // the root
    CoTaskMemFree(id);
    // The other object is still at the root.
    EXPECT_EQ(std::vector<std::wstring>{L"setX"}, Browse(other.Get(), OPC_BRANCH).names);

    ASSERT_EQ(S_OK, b->ChangeBrowsePosition(OPC_BROWSE_DOWN, L"itemY"));  // onto a leaf
    EXPECT_EQ(S_FALSE, Browse(b.Get(), OPC_LEAF).hr);
    EXPECT_EQ(S_FALSE, Browse(b.Get(), OPC_FLAT).hr);
    ASSERT_EQ(S_OK, b->ChangeBrowsePosition(OPC_BROWSE_UP, L""));
    ASSERT_EQ(S_OK, b->ChangeBrowsePosition(OPC_BROWSE_UP, nullptr));
    EXPECT_EQ(E_FAIL, b->ChangeBrowsePosition(OPC_BROWSE_UP, nullptr));
}

TEST_F(BrowseTest, AccessPaths)
{
    ComPtr<IOPCBrowseServerAddressSpace> b;
    ASSERT_EQ(S_OK, server.As(&b));
    for (const wchar_t* id : {L"setX.itemY", L"setX"}) {
        ComPtr<IEnumString> e;
        ASSERT_EQ(S_OK, b->BrowseAccessPaths(id, e.GetAddressOf())) << id;
        EXPECT_EQ(std::vector<std::wstring>{L"setX"}, All(e.Get()));
    }
    for (const wchar_t* id : {L"set1.item", L"setX.itemY.z", L""}) {
        ComPtr<IEnumString> e;
        EXPECT_EQ(E_INVALIDARG, b->BrowseAccessPaths(id, e.GetAddressOf())) << id;
        EXPECT_EQ(nullptr, e.Get());
    }
}

TEST_F(BrowseTest, ABrowseObjectIsPartOfTheServerObject)
{
    ComPtr<IOPCBrowseServerAddressSpace> b;
    ASSERT_EQ(S_OK, server.As(&b));
    // One identity: the server's IUnknown and interfaces, from the browse
    // object too; asking it for itself keeps its own position.
    ComPtr<IUnknown> fromBrowse, fromServer;
    ASSERT_EQ(S_OK, b.As(&fromBrowse));
    ASSERT_EQ(S_OK, server.As(&fromServer));
    EXPECT_EQ(fromServer.Get(), fromBrowse.Get());
    ComPtr<IOPCServer> s;
    ASSERT_EQ(S_OK, b.As(&s));
    EXPECT_EQ(server.Get(), s.Get());
    ASSERT_EQ(S_OK, b->ChangeBrowsePosition(OPC_BROWSE_DOWN, L"setX"));
    ComPtr<IOPCBrowseServerAddressSpace> same;
    ASSERT_EQ(S_OK, b.As(&same));
    EXPECT_EQ(b.Get(), same.Get());
    ComPtr<IOPCItemMgt> notThere;
    EXPECT_EQ(E_NOINTERFACE, b.As(&notThere));

    // A browse object asked for at creation holds the server, which goes
    // with it: nothing keeps the process.
    b.Reset(); same.Reset(); s.Reset(); fromBrowse.Reset(); fromServer.Reset();
    server.Reset();
    ASSERT_EQ(0, g_module.m_nLockCount);
    CClassFactory factory(&COPCServer::CreateInstance);
    ComPtr<IOPCBrowseServerAddressSpace> created;
    ASSERT_EQ(S_OK, factory.CreateInstance(nullptr, IID_IOPCBrowseServerAddressSpace,
                                           reinterpret_cast<void**>(created.GetAddressOf())));
    EXPECT_EQ(S_OK, Browse(created.Get(), OPC_BRANCH).hr);
    EXPECT_EQ(S_OK, created.As(&s));
    s.Reset();
    created.Reset();
    EXPECT_EQ(0, g_module.m_nLockCount);
}
