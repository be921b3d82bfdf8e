// The address-space tree, its dump, and the browse filter matcher.
#include "core/AddrSpace.h"
#include "TraceCapture.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace {
std::unique_ptr<CAddrSpace> Build()
{
    CAddrSpace* space = nullptr;
    EXPECT_EQ(S_OK, BuildAddressSpace(&space));
    return std::unique_ptr<CAddrSpace>(space);
}

std::vector<std::wstring> ChildNames(const CAddrNode* node)
{
    std::vector<std::wstring> names;
    for (const CAddrNode* child : *node->m_pChildren)
        names.push_back(child->Name());
    return names;
}
}  // namespace

TEST(AddressSpace, TreeShapeAndChildOrder)
{
    auto space = Build();
    EXPECT_EQ(static_cast<DWORD>(OPC_NS_HIERARCHIAL), space->GetOrganization());
    CAddrNode* setX = space->m_pRoot->FindChild(L"setX");
    ASSERT_NE(nullptr, setX);
    EXPECT_EQ(nullptr, space->m_pRoot->FindChild(L"SETX"));
    EXPECT_TRUE(setX->IsBranch());
    EXPECT_EQ((std::vector<std::wstring>{L"T0", L"period", L"fct", L"on", L"itemY"}), ChildNames(setX));
    EXPECT_FALSE(setX->FindChild(L"itemY")->IsBranch());
}

TEST(AddressSpace, PositionsAndItemIds)
{
    auto space = Build();
    CAddrNode* pos = space->m_pRoot;
    EXPECT_EQ(E_FAIL, space->MoveUp(&pos));
    EXPECT_EQ(space->m_pRoot, pos);
    LPWSTR id = nullptr;
    ASSERT_EQ(S_OK, space->GetItemID(pos, L"setX", &id));
    EXPECT_STREQ(L"setX", id);
    CoTaskMemFree(id);
    ASSERT_EQ(S_OK, space->MoveDown(L"setX", &pos));
    ASSERT_EQ(S_OK, space->GetItemID(pos, L"T0", &id));
    EXPECT_STREQ(L"setX.T0", id);
    CoTaskMemFree(id);
    ASSERT_EQ(S_OK, space->GetItemID(pos, L"setX.T0", &id));  // what a flat browse from here returns
    EXPECT_STREQ(L"setX.T0", id);
    CoTaskMemFree(id);
    EXPECT_EQ(E_FAIL, space->GetItemID(pos, L"setX.T", &id));
    EXPECT_EQ(nullptr, id);
    EXPECT_EQ(E_FAIL, space->GetItemID(pos, nullptr, &id));
    EXPECT_EQ(S_OK, space->MoveDown(L"itemY", &pos));
    EXPECT_FALSE(pos->IsBranch());
    EXPECT_EQ(E_FAIL, space->MoveDown(L"x", &pos));
    EXPECT_EQ(L"setX.itemY", pos->ComposeItemID());
    EXPECT_EQ(L"", space->m_pRoot->ComposeItemID());
}

TEST(AddressSpace, ResolvesFullyQualifiedItemIds)
{
    auto space = Build();
    CAddrNode* root = space->m_pRoot;
    EXPECT_EQ(root->FindChild(L"setX"), root->FindByItemID(L"setX"));
    CAddrNode* itemY = root->FindChild(L"setX")->FindChild(L"itemY");
    EXPECT_EQ(itemY, root->FindByItemID(L"setX.itemY"));
    for (const wchar_t* id : {L"setX.", L"setX.itemYZ", L"setX.itemY.z", L"set1.item", L""})
        EXPECT_EQ(nullptr, root->FindByItemID(id)) << id;
}

TEST(AddressSpace, DumpLinesHaveTheirExactWidths)
{
    TraceCapture trace;
    auto space = Build();
    auto lines = trace.lines();
    ASSERT_EQ(13u, lines.size());
    EXPECT_EQ(L"========================", lines[0]);
    EXPECT_EQ(L"= Server Address Space =", lines[1]);
    // VT_EMPTY padded to 18, one blank, and no rights name for the root.
    EXPECT_EQ(L"<<< ROOT >>>     - (null)          : VT_EMPTY" + std::wstring(10, L' ') + L" ", lines[3]);
    EXPECT_EQ(L"    setX             - setX            : VT_EMPTY           OPC_READABLE | OPC_WRITEABLE",
              lines[4]);
    EXPECT_EQ(L"        T0               - T0              : VT_R8              OPC_READABLE | OPC_WRITEABLE",
              lines[5]);
    EXPECT_EQ(L"        itemY            - itemY           : VT_R8              OPC_READABLE | OPC_WRITEABLE",
              lines[9]);
    EXPECT_EQ(L"========================", lines[10]);
    EXPECT_EQ(L"", lines[12]);
}

TEST(BrowseFilter, WildcardsDigitsAndCase)
{
    EXPECT_TRUE(MatchFilter(L"anything", L"*"));
    EXPECT_TRUE(MatchFilter(L"", L"*"));
    EXPECT_TRUE(MatchFilter(L"setX.on", L"*o*"));
    EXPECT_TRUE(MatchFilter(L"setX.period", L"*o*"));
    EXPECT_FALSE(MatchFilter(L"setX.fct", L"*o*"));
    EXPECT_TRUE(MatchFilter(L"T0", L"T#"));
    EXPECT_FALSE(MatchFilter(L"T0", L"t#"));
    EXPECT_FALSE(MatchFilter(L"Tx", L"T#"));
    EXPECT_TRUE(MatchFilter(L"on", L"??"));
    EXPECT_FALSE(MatchFilter(L"fct", L"??"));
    EXPECT_FALSE(MatchFilter(L"o", L"??"));
    EXPECT_TRUE(MatchFilter(L"abc", L"a*c"));
    EXPECT_TRUE(MatchFilter(L"ac", L"a*c"));
    EXPECT_FALSE(MatchFilter(L"abd", L"a*c"));
    EXPECT_TRUE(MatchFilter(L"abcbc", L"*bc"));
    EXPECT_FALSE(MatchFilter(L"", L"?"));
}

TEST(BrowseFilter, CharacterLists)
{
    // setX's leaves: T0, period, fct, on, itemY.
    auto matches = [](const wchar_t* pattern) {
        std::vector<std::wstring> out;
        for (const wchar_t* n : {L"T0", L"period", L"fct", L"on", L"itemY"})
            if (MatchFilter(n, pattern))
                out.push_back(n);
        return out;
    };
    EXPECT_EQ((std::vector<std::wstring>{L"fct"}), matches(L"[a-f]*"));
    EXPECT_EQ((std::vector<std::wstring>{L"T0", L"period", L"on", L"itemY"}), matches(L"[!a-f]*"));
    EXPECT_EQ((std::vector<std::wstring>{L"T0", L"on"}), matches(L"??"));
    EXPECT_TRUE(matches(L"[abc").empty());
    EXPECT_TRUE(MatchFilter(L"a", L"[abc"));  // unclosed: one character, any
    EXPECT_TRUE(MatchFilter(L"z", L"[abc"));
    EXPECT_TRUE(MatchFilter(L"a", L"[a-]"));   // matched before the walk reaches the "-"
    EXPECT_FALSE(MatchFilter(L"b", L"[a-]"));  // a "-" before "]" fails the match
    EXPECT_FALSE(MatchFilter(L"b", L"[a-"));
    EXPECT_TRUE(MatchFilter(L"5", L"[-9]"));   // a range at the start begins at code 0
    EXPECT_TRUE(MatchFilter(L"pz", L"[op]z"));
    EXPECT_FALSE(MatchFilter(L"qz", L"[op]z"));
    EXPECT_TRUE(MatchFilter(L"qz", L"[!op]z"));
    EXPECT_FALSE(MatchFilter(L"", L"[a]"));
}
