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
unsigned long vantrel_wire_da2_variant_array(int which, unsigned count, VARIANT* values, unsigned char* buffer,
                                             unsigned long size);
}

TEST(ProxyWire, VariantCarryingEntriesAreFourByteAligned)
{
    for (int i = 0; i < 10; ++i)  // the 1.0a records and arrays, then the DA 2.0 VARIANT arrays
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

TEST(ProxyWire, Da2VariantArraysGoOnTheWireAsThe10aOnes)
{
    // OnDataChange, OnReadComplete, IOPCAsyncIO2::Write and GetItemProperties
    // carry their VARIANTs exactly as IOPCSyncIO::Write does: the same bytes
    // for the same values, sized by their own count parameter.
    VARIANT values[3];
    VariantInit(&values[0]);
    values[0].vt = VT_R8;
    values[0].dblVal = 1.25;
    VariantInit(&values[1]);
    values[1].vt = VT_I2;
    values[1].iVal = 192;
    VariantInit(&values[2]);
    values[2].vt = VT_BSTR;
    values[2].bstrVal = SysAllocString(L"Noise");
    alignas(8) unsigned char reference[1024], buffer[1024];
    unsigned long n = vantrel_wire_variant_array(3, values, reference, sizeof(reference));
    ASSERT_GT(n, 40u);
    for (int which = 0; which < 4; ++which) {
        unsigned long m = vantrel_wire_da2_variant_array(which, 3, values, buffer, sizeof(buffer));
        ASSERT_EQ(n, m) << "array " << which;
        EXPECT_EQ(0, memcmp(reference, buffer, n)) << "array " << which;
        DWORD count = 0;
        memcpy(&count, buffer, 4);
        EXPECT_EQ(3u, count);
    }
    VariantClear(&values[2]);
}
