// Advise connection lists and their records.
#include "common/OPCGlob.h"
#include "engine/Advise.h"
#include "AdviseSinkSpy.h"

#include <gtest/gtest.h>

namespace {
FORMATETC DataFormat(DWORD tymed = TYMED_HGLOBAL)
{
    return FORMATETC{static_cast<CLIPFORMAT>(g_cfData), nullptr, DVASPECT_CONTENT, -1, tymed};
}
}  // namespace

TEST(AdviseConnections, RecordsHoldTheSinkAndCallItInAdviseOrder)
{
    AdviseSinkSpy a, b;
    std::vector<AdviseSinkSpy*> order;
    a.order = b.order = &order;
    DWORD ca = 0, cb = 0;
    {
        CAdvisoryConnectionMgr mgr;
        FORMATETC fe = DataFormat(TYMED_ISTREAM);
        ASSERT_EQ(S_OK, mgr.AddConnection(&fe, 0, &a, &ca));
        ASSERT_EQ(S_OK, mgr.AddConnection(&fe, 0, &b, &cb));
        EXPECT_NE(0u, ca);
        EXPECT_EQ(ca + 1, cb);  // one identifier sequence
        EXPECT_EQ(2, a.refs);
        EXPECT_EQ(2, mgr.GetConnectionCount());
        EXPECT_TRUE(mgr.HasConnection(cb));

        STGMEDIUM medium = {TYMED_HGLOBAL, {nullptr}, nullptr};
        medium.hGlobal = GlobalAlloc(GMEM_MOVEABLE, 8);
        mgr.NotifyAll(&medium);
        ASSERT_EQ(2u, order.size());
        EXPECT_EQ(&a, order[0]);
        EXPECT_EQ(&b, order[1]);
        EXPECT_EQ(static_cast<DWORD>(TYMED_ISTREAM), a.blocks[0].tymed);  // the FORMATETC as given
        EXPECT_EQ(0, mgr.NotifyConnection(cb, &medium));
        EXPECT_EQ(2u, b.count());
        EXPECT_EQ(1, mgr.NotifyConnection(999999, &medium));
        GlobalFree(medium.hGlobal);

        EXPECT_EQ(0, mgr.RemoveConnection(ca));
        EXPECT_EQ(1, mgr.RemoveConnection(ca));
        EXPECT_EQ(1, a.refs);
        EXPECT_EQ(1, mgr.GetConnectionCount());
    }
    EXPECT_EQ(1, b.refs);  // the list's destruction releases the rest
}

TEST(AdviseConnections, AFailingFactoryAddsNothing)
{
    PFN_CREATE_CONNECTION_DATA saved = pfnCreateConnectionData;
    pfnCreateConnectionData = [](const FORMATETC*, DWORD, IAdviseSink*, CConnectionData** pp) -> HRESULT {
        *pp = nullptr;
        return E_OUTOFMEMORY;
    };
    CAdvisoryConnectionMgr mgr;
    AdviseSinkSpy sink;
    FORMATETC fe = DataFormat();
    DWORD c = 12345;
    EXPECT_EQ(E_OUTOFMEMORY, mgr.AddConnection(&fe, 0, &sink, &c));
    EXPECT_EQ(12345u, c);
    EXPECT_EQ(0, mgr.GetConnectionCount());
    EXPECT_EQ(1, sink.refs);
    pfnCreateConnectionData = saved;
}
