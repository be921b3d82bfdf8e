// The wire layout of the VARIANT-carrying OPC records: 4-byte aligned, packed,
// as every other OPC DA proxy/stub marshals them.
#include "common/OpcDefs.h"

#include <gtest/gtest.h>

#include <vector>

extern "C" {
unsigned long vantrel_wire_itemstate_array(unsigned count, OPCITEMSTATE* items, unsigned char* buffer,
                                           unsigned long size);
unsigned long vantrel_wire_variant_array(unsigned count, VARIANT* values, unsigned char* buffer,
                                         unsigned long size);
unsigned char vantrel_fmt_alignment(int which);
}

TEST(ProxyWire, VariantCarryingEntriesAreFourByteAligned)
{
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(3, vantrel_fmt_alignment(i)) << "entry " << i;
}

TEST(ProxyWire, TwoItemStatesMarshalTo96Bytes)
{
    OPCITEMSTATE items[2] = {};
    for (auto& item : items) {
        item.hClient = 7;
        item.wQuality = OPC_QUALITY_GOOD;
        VariantInit(&item.vDataValue);
        item.vDataValue.vt = VT_I4;
        item.vDataValue.lVal = 5;
    }
    alignas(8) unsigned char buffer[512];
    unsigned long n = vantrel_wire_itemstate_array(2, items, buffer, sizeof(buffer));
    EXPECT_EQ(96u, n);
    // The elements follow the conformance count without padding: element 0's
    // client handle sits at offset 4, element 1's at 24 (20 bytes apart).
    DWORD h0, h1;
    memcpy(&h0, buffer + 4, 4);
    memcpy(&h1, buffer + 24, 4);
    EXPECT_EQ(7u, h0);
    EXPECT_EQ(7u, h1);
}

TEST(ProxyWire, VariantArrayHasNoPaddingAfterTheCount)
{
    VARIANT values[2];
    for (auto& v : values) {
        VariantInit(&v);
        v.vt = VT_I4;
        v.lVal = 42;
    }
    alignas(8) unsigned char buffer[512];
    unsigned long n = vantrel_wire_variant_array(2, values, buffer, sizeof(buffer));
    ASSERT_GT(n, 12u);
    DWORD count, marker0;
    memcpy(&count, buffer, 4);
    memcpy(&marker0, buffer + 4, 4);
    EXPECT_EQ(2u, count);
    // The first element's pointer marker follows the count at once; a padded
    // layout would leave filler bytes (0xCDCDCDCD or 0) there.
    EXPECT_NE(0xCDCDCDCDu, marker0);
    EXPECT_NE(0u, marker0);
}
