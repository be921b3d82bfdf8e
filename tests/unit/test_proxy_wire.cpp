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
unsigned long vantrel_wire_vqt_array(unsigned count, OPCITEMVQT* items, unsigned char* buffer, unsigned long size);
unsigned long vantrel_wire_browse_elements(unsigned count, OPCBROWSEELEMENT* elements, unsigned char* buffer,
                                           unsigned long size);
}

namespace {
DWORD WireDword(const unsigned char* buffer, unsigned long offset)
{
    DWORD v;
    memcpy(&v, buffer + offset, 4);
    return v;
}
WORD WireWord(const unsigned char* buffer, unsigned long offset)
{
    WORD v;
    memcpy(&v, buffer + offset, 2);
    return v;
}
}  // namespace

TEST(ProxyWire, VariantCarryingEntriesAreFourByteAligned)
{
    // the 1.0a records and arrays, the DA 2.0 VARIANT arrays, then the DA 3.0
    // records (OPCITEMPROPERTY, OPCITEMVQT) and their arrays
    for (int i = 0; i < 18; ++i)
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

TEST(ProxyWire, ItemVqtRecordsArePacked28BytesApart)
{
    // Flat part of one OPCITEMVQT on the wire: the VARIANT's 4-byte marker,
    // bQualitySpecified, wQuality, wReserved, bTimeStampSpecified,
    // dwReserved, ftTimeStamp = 28 bytes, 4-aligned, no padding to 32 (which
    // is what the 8-byte alignment would give); the VARIANT bodies follow.
    OPCITEMVQT items[2] = {};
    for (int i = 0; i < 2; ++i) {
        VariantInit(&items[i].vDataValue);
        items[i].vDataValue.vt = VT_I4;
        items[i].vDataValue.lVal = 100 + i;
        items[i].bQualitySpecified = TRUE;
        items[i].wQuality = static_cast<WORD>(0xC0 + i);
        items[i].bTimeStampSpecified = i;
        items[i].ftTimeStamp.dwLowDateTime = 0x11110000u + i;
        items[i].ftTimeStamp.dwHighDateTime = 0x22220000u + i;
    }
    alignas(8) unsigned char buffer[512];
    unsigned long n = vantrel_wire_vqt_array(2, items, buffer, sizeof(buffer));
    EXPECT_EQ(2u, WireDword(buffer, 0));
    for (unsigned long i = 0; i < 2; ++i) {
        const unsigned long at = 4 + 28 * i;
        EXPECT_EQ(TRUE, static_cast<BOOL>(WireDword(buffer, at + 4))) << i;
        EXPECT_EQ(0xC0 + i, WireWord(buffer, at + 8)) << i;
        EXPECT_EQ(i, WireDword(buffer, at + 12)) << i;
        EXPECT_EQ(0x11110000u + i, WireDword(buffer, at + 20)) << i;
        EXPECT_EQ(0x22220000u + i, WireDword(buffer, at + 24)) << i;
    }
    // 4 + 2 * 28 = 60, padded to 64 for the first wire VARIANT (8-aligned),
    // then two VT_I4 bodies of 24 bytes each.
    EXPECT_EQ(112u, n);
    EXPECT_EQ(VT_I4, WireWord(buffer, 64 + 8));
    EXPECT_EQ(100u, WireDword(buffer, 64 + 20));
    EXPECT_EQ(101u, WireDword(buffer, 88 + 20));
}

TEST(ProxyWire, BrowseElementsCarryTheirStringsAndPropertiesAfterTheFlatPart)
{
    // Two elements: a branch without properties and an item with one
    // property whose value is a VT_R8. Flat part: 32 bytes each (two string
    // markers, flags, reserved, the embedded OPCITEMPROPERTIES with its
    // array marker); then, in order, each element's strings and property
    // array, whose OPCITEMPROPERTY records are 4-aligned as every proxy
    // marshals them.
    OPCITEMPROPERTY property = {};
    property.vtDataType = VT_R8;
    property.dwPropertyID = 102;
    VariantInit(&property.vValue);
    property.vValue.vt = VT_R8;
    property.vValue.dblVal = 100.0;
    OPCBROWSEELEMENT elements[2] = {};
    wchar_t branch[] = L"set7", item[] = L"item", itemId[] = L"set7.item";
    elements[0].szName = branch;
    elements[0].szItemID = branch;
    elements[0].dwFlagValue = OPC_BROWSE_HASCHILDREN;
    elements[1].szName = item;
    elements[1].szItemID = itemId;
    elements[1].dwFlagValue = OPC_BROWSE_ISITEM;
    elements[1].ItemProperties.dwNumProperties = 1;
    elements[1].ItemProperties.pItemProperties = &property;
    alignas(8) unsigned char buffer[1024];
    unsigned long n = vantrel_wire_browse_elements(2, elements, buffer, sizeof(buffer));
    ASSERT_GT(n, 4u + 64u);
    EXPECT_EQ(2u, WireDword(buffer, 0));
    EXPECT_EQ(static_cast<DWORD>(OPC_BROWSE_HASCHILDREN), WireDword(buffer, 4 + 8));
    EXPECT_EQ(0u, WireDword(buffer, 4 + 20));  // no properties
    EXPECT_EQ(0u, WireDword(buffer, 4 + 24));  // NULL property array
    EXPECT_EQ(static_cast<DWORD>(OPC_BROWSE_ISITEM), WireDword(buffer, 36 + 8));
    EXPECT_EQ(1u, WireDword(buffer, 36 + 20));
    EXPECT_NE(0u, WireDword(buffer, 36 + 24));
    // Deferred: "set7" twice (12-byte header + 10 bytes, padded to 4), then
    // "item" and "set7.item", then the property array: its count, the
    // record's flat part (vt, reserved, ID, two string markers, the VARIANT
    // marker, error, reserved = 28 bytes) and the VT_R8 body.
    unsigned long at = 68;
    auto skipString = [&](const wchar_t* s) {
        const DWORD chars = static_cast<DWORD>(wcslen(s) + 1);
        EXPECT_EQ(chars, WireDword(buffer, at)) << "string at " << at;
        EXPECT_EQ(0u, WireDword(buffer, at + 4));
        EXPECT_EQ(chars, WireDword(buffer, at + 8));
        EXPECT_EQ(0, memcmp(buffer + at + 12, s, chars * 2));
        at = (at + 12 + chars * 2 + 3) & ~3ul;
    };
    skipString(branch);
    skipString(branch);
    skipString(item);
    skipString(itemId);
    EXPECT_EQ(1u, WireDword(buffer, at));  // the property array's count
    EXPECT_EQ(VT_R8, WireWord(buffer, at + 4));
    EXPECT_EQ(102u, WireDword(buffer, at + 8));
    EXPECT_EQ(0u, WireDword(buffer, at + 12));  // no item ID
    EXPECT_EQ(0u, WireDword(buffer, at + 16));  // no description
    const unsigned long body = (at + 32 + 7) & ~7ul;  // the wire VARIANT is 8-aligned
    EXPECT_EQ(VT_R8, WireWord(buffer, body + 8));
    double value;
    memcpy(&value, buffer + body + 24, 8);
    EXPECT_EQ(100.0, value);
    EXPECT_EQ(body + 32, n);
}
