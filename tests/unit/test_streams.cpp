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
