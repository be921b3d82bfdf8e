// Identifier allocation and range sets.
#include "core/IdMgr.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {
std::string Ranges(const CRangeSet<unsigned long>& s)
{
    std::string out;
    for (auto* n = s.Head(); n; n = n->next)
        out += "[" + std::to_string(n->low) + "," + std::to_string(n->high) + "]";
    return out;
}
}  // namespace

TEST(RangeSet, RemoveSplitsShrinksAndDeletes)
{
    CRangeSet<unsigned long> s(1, 10);
    s.RemoveValue(5);
    EXPECT_EQ("[1,4][6,10]", Ranges(s));
    s.RemoveValue(1);
    s.RemoveValue(10);
    EXPECT_EQ("[2,4][6,9]", Ranges(s));
    s.RemoveValue(5);  // not in the set
    s.RemoveValue(42);
    EXPECT_EQ("[2,4][6,9]", Ranges(s));
    s.RemoveValue(3);
    s.RemoveValue(2);
    s.RemoveValue(4);
    EXPECT_EQ("[6,9]", Ranges(s));
}

TEST(RangeSet, AddExtendsMergesAndIgnoresPresentValues)
{
    CRangeSet<unsigned long> s;
    s.AddValue(5);
    s.AddValue(7);
    EXPECT_EQ("[5,5][7,7]", Ranges(s));
    s.AddValue(6);  // the gap: one node
    EXPECT_EQ("[5,7]", Ranges(s));
    s.AddValue(4);
    s.AddValue(8);
    EXPECT_EQ("[4,8]", Ranges(s));
    s.AddValue(6);
    EXPECT_EQ("[4,8]", Ranges(s));
    s.AddValue(1);
    s.AddValue(20);
    EXPECT_EQ("[1,1][4,8][20,20]", Ranges(s));
    s.AddValue(0xFFFFFFFFu);
    s.AddValue(0xFFFFFFFFu);
    EXPECT_EQ("[1,1][4,8][20,20][4294967295,4294967295]", Ranges(s));
    EXPECT_EQ(1u, s.TakeLowest());
    EXPECT_EQ(4u, s.TakeLowest());
}

TEST(IdMgr, HandsOutOneSequenceAndReusesOnlyAfterTheRangeIsUsed)
{
    CIdMgr ids;
    EXPECT_EQ(1u, ids.Allocate());
    EXPECT_EQ(2u, ids.Allocate());
    ids.ReleaseId(1);
    EXPECT_EQ(3u, ids.Allocate());  // 1 waits in the spare set
}

TEST(IdMgr, FallsBackToGivenBackIdsWhenTheRangeIsUsedUp)
{
    CIdMgr ids(0xFFFFFFFEu, 0xFFFFFFFFu);  // the end of the range
    ids.ReleaseId(5);
    ids.ReleaseId(3);
    EXPECT_EQ(0xFFFFFFFEu, ids.Allocate());
    EXPECT_EQ(0xFFFFFFFFu, ids.Allocate());
    EXPECT_EQ(3u, ids.Allocate());  // the lowest given back so far
    ids.ReleaseId(1);
    EXPECT_EQ(1u, ids.Allocate());
    EXPECT_EQ(5u, ids.Allocate());
    EXPECT_EQ(0u, ids.Allocate());  // nothing left
    ids.ReleaseId(77);
    EXPECT_EQ(77u, ids.Allocate());
}

TEST(IdMgr, ConcurrentAllocationsNeverRepeat)
{
    CIdMgr ids;
    static constexpr int kThreads = 4, kEach = 5000;
    static unsigned long got[kThreads][kEach];
    struct Arg {
        CIdMgr* ids;
        int t;
        static DWORD WINAPI Run(void* p)
        {
            auto* a = static_cast<Arg*>(p);
            for (int i = 0; i < kEach; ++i)
                got[a->t][i] = a->ids->Allocate();
            return 0;
        }
    } args[kThreads];
    HANDLE threads[kThreads];
    for (int t = 0; t < kThreads; ++t) {
        args[t] = {&ids, t};
        threads[t] = CreateThread(nullptr, 0, &Arg::Run, &args[t], 0, nullptr);
    }
    WaitForMultipleObjects(kThreads, threads, TRUE, INFINITE);
    std::vector<bool> seen(kThreads * kEach + 1, false);
    for (int t = 0; t < kThreads; ++t) {
        CloseHandle(threads[t]);
        for (int i = 0; i < kEach; ++i) {
            ASSERT_GE(got[t][i], 1u);
            ASSERT_LE(got[t][i], static_cast<unsigned long>(kThreads * kEach));
            ASSERT_FALSE(seen[got[t][i]]);
            seen[got[t][i]] = true;
        }
    }
}

namespace {
size_t Nodes(const CRangeSet<unsigned long>& s)
{
    size_t n = 0;
    for (auto* p = s.Head(); p; p = p->next)
        ++n;
    return n;
}
}  // namespace

TEST(IdMgr, GivenBackNeighboursMergeSoEndlessChurnStaysSmall)
{
    // A long-lived identifier, then endless lifecycles of objects whose
    // identifiers all come back in any order: the spare set stays a few ranges.
    CIdMgr ids;
    unsigned long last = ids.Allocate();
    for (int cycle = 0; cycle < 10000; ++cycle) {
        unsigned long a = ids.Allocate(), b = ids.Allocate(), c = ids.Allocate();
        last = c;
        if (cycle % 100 == 0)
            last = ids.Allocate();  // now and then one that stays
        ids.ReleaseId(b);
        ids.ReleaseId(cycle % 2 ? a : c);
        ids.ReleaseId(cycle % 2 ? c : a);
    }
    EXPECT_LE(Nodes(ids.m_setSpare), 101u);  // one range between each two that stayed
    EXPECT_EQ(last + 1, ids.Allocate());     // still the next of the sequence
}
