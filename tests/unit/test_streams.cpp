// The three stream block layouts, byte by byte.
#include "engine/Streams.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {
// A copy of a block's bytes (GlobalSize may exceed the data).
std::vector<BYTE> Bytes(HGLOBAL h)
{
    std::vector<BYTE> out(GlobalSize(h));
    void* p = GlobalLock(h);
    memcpy(out.data(), p, out.size());
    GlobalUnlock(h);
    GlobalFree(h);
    return out;
}

template <class T>
T At(const std::vector<BYTE>& b, size_t offset)
{
    T v;
    memcpy(&v, b.data() + offset, sizeof(T));
    return v;
}

FILETIME Ft(DWORD lo, DWORD hi) { return FILETIME{lo, hi}; }
}  // namespace

TEST(Streams, OneRealItemWithTime)
{
    OPCHANDLE h = 77;
    VARIANT v;
    v.vt = VT_R8;
    v.dblVal = 2.5;
    WORD q = 192;
    FILETIME ft = Ft(0x11111111, 0x22222222);
    HGLOBAL g = nullptr;
    ASSERT_EQ(S_OK, WriteDataTimeStream(5, 0, S_OK, 1, &h, &v, &q, &ft, &g));
    auto b = Bytes(g);
    ASSERT_GE(b.size(), 56u);
    EXPECT_EQ(56u, At<DWORD>(b, 0));  // dwSize
    EXPECT_EQ(1u, At<DWORD>(b, 4));
    EXPECT_EQ(5u, At<DWORD>(b, 8));
    EXPECT_EQ(0u, At<DWORD>(b, 12));
    EXPECT_EQ(S_OK, At<HRESULT>(b, 16));
    EXPECT_EQ(77u, At<DWORD>(b, 20));
    EXPECT_EQ(40u, At<DWORD>(b, 24));  // dwValueOffset
    EXPECT_EQ(192, At<WORD>(b, 28));
    EXPECT_EQ(0, At<WORD>(b, 30));
    EXPECT_EQ(0x11111111u, At<DWORD>(b, 32));
    EXPECT_EQ(0x22222222u, At<DWORD>(b, 36));
    EXPECT_EQ(VT_R8, At<VARTYPE>(b, 40));
    EXPECT_DOUBLE_EQ(2.5, At<double>(b, 48));
}

TEST(Streams, OneRealItemWithoutTime)
{
    OPCHANDLE h = 1;
    VARIANT v;
    v.vt = VT_R8;
    v.dblVal = -1.0;
    WORD q = 0;
    HGLOBAL g = nullptr;
    ASSERT_EQ(S_OK, WriteDataStream(9, 1234, S_OK, 1, &h, &v, &q, &g));
    auto b = Bytes(g);
    EXPECT_EQ(48u, At<DWORD>(b, 0));
    EXPECT_EQ(1234u, At<DWORD>(b, 12));
    EXPECT_EQ(32u, At<DWORD>(b, 24));
    EXPECT_EQ(VT_R8, At<VARTYPE>(b, 32));
    EXPECT_DOUBLE_EQ(-1.0, At<double>(b, 40));
}

TEST(Streams, StringsCarryByteCountCharactersAndTerminatorWithoutPadding)
{
    OPCHANDLE h[2] = {10, 20};
    VARIANT v[2];
    v[0].vt = VT_BSTR;
    v[0].bstrVal = SysAllocString(L"ab");
    v[1].vt = VT_I4;
    v[1].lVal = 99;
    WORD q[2] = {192, 192};
    FILETIME ft[2] = {Ft(1, 2), Ft(3, 4)};
    HGLOBAL g = nullptr;
    ASSERT_EQ(S_OK, WriteDataTimeStream(1, 0, S_OK, 2, h, v, q, ft, &g));
    auto b = Bytes(g);
    EXPECT_EQ(60u, At<DWORD>(b, 24));       // first value right after the headers
    EXPECT_EQ(86u, At<DWORD>(b, 24 + 20));  // 60 + 16 + 4 + 4 + 2
    EXPECT_EQ(86u + 16u, At<DWORD>(b, 0));
    EXPECT_EQ(VT_BSTR, At<VARTYPE>(b, 60));
    EXPECT_EQ(4u, At<DWORD>(b, 76));  // byte count of "ab"
    EXPECT_EQ(L'a', At<WCHAR>(b, 80));
    EXPECT_EQ(L'b', At<WCHAR>(b, 82));
    EXPECT_EQ(0, At<WCHAR>(b, 84));
    EXPECT_EQ(VT_I4, At<VARTYPE>(b, 86));
    EXPECT_EQ(99, At<LONG>(b, 94));
    SysFreeString(v[0].bstrVal);
}

TEST(Streams, EmptyAndThreeCharacterStrings)
{
    OPCHANDLE h[2] = {1, 2};
    VARIANT v[2];
    v[0].vt = VT_BSTR;
    v[0].bstrVal = SysAllocString(L"");
    v[1].vt = VT_BSTR;
    v[1].bstrVal = SysAllocString(L"abc");
    WORD q[2] = {192, 192};
    HGLOBAL g = nullptr;
    ASSERT_EQ(S_OK, WriteDataStream(1, 0, S_OK, 2, h, v, q, &g));
    auto b = Bytes(g);
    const DWORD first = 20 + 2 * 12;
    EXPECT_EQ(0u, At<DWORD>(b, first + 16));
    EXPECT_EQ(0, At<WCHAR>(b, first + 20));
    const DWORD second = first + 16 + 4 + 2;
    EXPECT_EQ(second, At<DWORD>(b, 20 + 12 + 4));
    EXPECT_EQ(6u, At<DWORD>(b, second + 16));
    EXPECT_EQ(second + 28, At<DWORD>(b, 0));  // 16 + 4 + 6 + 2
    SysFreeString(v[0].bstrVal);
    SysFreeString(v[1].bstrVal);
}

TEST(Streams, WriteCompleteOfThreeItems)
{
    OPCHANDLE h[3] = {1, 2, 3};
    HRESULT e[3] = {S_OK, E_FAIL, OPC_E_INVALIDHANDLE};
    HGLOBAL g = nullptr;
    ASSERT_EQ(S_OK, WriteWriteCompleteStream(8, 4242, S_OK, 3, h, e, &g));
    auto b = Bytes(g);
    ASSERT_GE(b.size(), 40u);
    EXPECT_EQ(3u, At<DWORD>(b, 0));
    EXPECT_EQ(8u, At<DWORD>(b, 4));
    EXPECT_EQ(4242u, At<DWORD>(b, 8));
    EXPECT_EQ(S_OK, At<HRESULT>(b, 12));
    EXPECT_EQ(2u, At<DWORD>(b, 24));
    EXPECT_EQ(E_FAIL, At<HRESULT>(b, 28));
    EXPECT_EQ(OPC_E_INVALIDHANDLE, At<HRESULT>(b, 36));
}

TEST(Streams, EmptyBlocks)
{
    HGLOBAL g = nullptr;
    ASSERT_EQ(S_OK, WriteDataTimeStream(1, 0, S_OK, 0, nullptr, nullptr, nullptr, nullptr, &g));
    auto b = Bytes(g);
    EXPECT_EQ(20u, At<DWORD>(b, 0));
    EXPECT_EQ(0u, At<DWORD>(b, 4));
}

// An array value: the VARIANT, the SAFEARRAY descriptor (its first bound in
// it, no pointer), the element data; then the next value.
TEST(Streams, ANumericArrayCarriesItsDescriptorAndElements)
{
    SAFEARRAYBOUND bound = {3, 5};
    SAFEARRAY* sa = SafeArrayCreate(VT_I4, 1, &bound);
    for (LONG i = 5; i < 8; ++i) {
        LONG v = i * 100;
        SafeArrayPutElement(sa, &i, &v);
    }
    OPCHANDLE h[2] = {1, 2};
    VARIANT v[2];
    v[0].vt = VT_ARRAY | VT_I4;
    v[0].parray = sa;
    v[1].vt = VT_R8;
    v[1].dblVal = 2.5;
    WORD q[2] = {192, 192};
    HGLOBAL g = nullptr;
    ASSERT_EQ(S_OK, WriteDataStream(7, 0, S_OK, 2, h, v, q, &g));
    auto b = Bytes(g);
    const size_t value = 20 + 2 * 12;
    EXPECT_EQ(value, At<DWORD>(b, 20 + 4));
    EXPECT_EQ(VT_ARRAY | VT_I4, At<VARTYPE>(b, value));
    const size_t descriptor = value + 16;
    EXPECT_EQ(1, At<USHORT>(b, descriptor));       // cDims
    EXPECT_EQ(4u, At<ULONG>(b, descriptor + 4));  // cbElements
    EXPECT_EQ(0u, At<ULONG>(b, descriptor + 8));  // cLocks
    EXPECT_EQ(0u, At<ULONG>(b, descriptor + 12)); // pvData: rebuilt by the receiver
    EXPECT_EQ(3u, At<ULONG>(b, descriptor + 16)); // cElements
    EXPECT_EQ(5, At<LONG>(b, descriptor + 20));   // lLbound
    const size_t data = descriptor + 24;
    EXPECT_EQ(500, At<LONG>(b, data));
    EXPECT_EQ(600, At<LONG>(b, data + 4));
    EXPECT_EQ(700, At<LONG>(b, data + 8));
    EXPECT_EQ(data + 12, At<DWORD>(b, 20 + 12 + 4));  // the next value right after
    EXPECT_EQ(2.5, At<double>(b, data + 12 + 8));
    EXPECT_EQ(data + 12 + 16, At<DWORD>(b, 0));
    SafeArrayDestroy(sa);
}

// An array of strings: the element data are the (zeroed) pointers, then each
// element's string as a lone string's: byte count, characters, NUL.
TEST(Streams, AStringArrayCarriesEachStringAfterTheElements)
{
    SAFEARRAYBOUND bound = {2, 0};
    SAFEARRAY* sa = SafeArrayCreate(VT_BSTR, 1, &bound);
    BSTR texts[2] = {SysAllocString(L"ab"), SysAllocString(L"")};
    for (LONG i = 0; i < 2; ++i) {
        SafeArrayPutElement(sa, &i, texts[i]);  // copies it
        SysFreeString(texts[i]);
    }
    OPCHANDLE h[1] = {1};
    VARIANT v[1];
    v[0].vt = VT_ARRAY | VT_BSTR;
    v[0].parray = sa;
    WORD q[1] = {192};
    FILETIME ft[1] = {Ft(1, 2)};
    HGLOBAL g = nullptr;
    ASSERT_EQ(S_OK, WriteDataTimeStream(7, 0, S_OK, 1, h, v, q, ft, &g));
    auto b = Bytes(g);
    const size_t value = 20 + 20;
    const size_t data = value + 16 + 24;
    EXPECT_EQ(2u, At<ULONG>(b, value + 16 + 16));
    EXPECT_EQ(0u, At<ULONG>(b, data));
    EXPECT_EQ(0u, At<ULONG>(b, data + 4));
    EXPECT_EQ(4u, At<DWORD>(b, data + 8));  // "ab"
    EXPECT_EQ(L'a', At<WCHAR>(b, data + 12));
    EXPECT_EQ(L'b', At<WCHAR>(b, data + 14));
    EXPECT_EQ(0, At<WCHAR>(b, data + 16));
    EXPECT_EQ(0u, At<DWORD>(b, data + 18));  // ""
    EXPECT_EQ(0, At<WCHAR>(b, data + 22));
    EXPECT_EQ(data + 24, At<DWORD>(b, 0));
    SafeArrayDestroy(sa);
}
