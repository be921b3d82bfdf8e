// Reading values back out of 1.0a data blocks: every value the server writes
// comes back equal; a block cut short or lying about itself is refused.
#include "common/OPCGlob.h"
#include "common/StreamImage.h"
#include "engine/Streams.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {
std::vector<BYTE> Bytes(HGLOBAL h)
{
    std::vector<BYTE> out(GlobalSize(h));
    void* p = GlobalLock(h);
    memcpy(out.data(), p, out.size());
    GlobalUnlock(h);
    GlobalFree(h);
    return out;
}

SAFEARRAY* Strings(std::initializer_list<const wchar_t*> texts)
{
    SAFEARRAYBOUND bound = {static_cast<ULONG>(texts.size()), 0};
    SAFEARRAY* sa = SafeArrayCreate(VT_BSTR, 1, &bound);
    LONG i = 0;
    for (const wchar_t* t : texts) {
        BSTR s = SysAllocString(t);
        SafeArrayPutElement(sa, &i, s);
        SysFreeString(s);
        ++i;
    }
    return sa;
}

// A block of the values, and each value's offset in it.
std::vector<BYTE> Block(std::vector<VARIANT>& values, std::vector<DWORD>* offsets)
{
    const DWORD n = static_cast<DWORD>(values.size());
    std::vector<OPCHANDLE> h(n);
    std::vector<WORD> q(n, OPC_QUALITY_GOOD);
    HGLOBAL g = nullptr;
    EXPECT_EQ(S_OK, WriteDataStream(1, 0, S_OK, n, h.data(), values.data(), q.data(), &g));
    std::vector<BYTE> b = Bytes(g);
    for (DWORD i = 0; i < n; ++i) {
        DWORD offset = 0;
        memcpy(&offset, b.data() + 20 + 12 * i + 4, 4);
        offsets->push_back(offset);
    }
    DWORD used = 0;
    memcpy(&used, b.data(), 4);
    b.resize(used);
    return b;
}
}  // namespace

TEST(StreamImage, EveryValueTheServerWritesReadsBackEqual)
{
    std::vector<VARIANT> v(9);
    for (auto& x : v)
        VariantInit(&x);
    v[0].vt = VT_BSTR;
    v[0].bstrVal = SysAllocString(L"gr\u00fc\u00dfe");
    v[1].vt = VT_I8;
    v[1].llVal = -1234567890123LL;
    v[2].vt = VT_CY;
    v[2].cyVal.int64 = 123456789;
    v[3].vt = VT_DATE;
    v[3].date = 46000.123456789;
    SAFEARRAYBOUND bound = {3, 5};
    SAFEARRAY* ints = SafeArrayCreate(VT_I4, 1, &bound);
    for (LONG i = 5; i < 8; ++i) {
        LONG e = -i * 1000;
        SafeArrayPutElement(ints, &i, &e);
    }
    v[4].vt = VT_ARRAY | VT_I4;
    v[4].parray = ints;
    v[5].vt = VT_ARRAY | VT_BSTR;
    v[5].parray = Strings({L"one", L"", L"three"});
    v[6].vt = VT_ARRAY | VT_BSTR;
    v[6].parray = Strings({});
    SAFEARRAYBOUND square[2] = {{2, 0}, {3, 1}};
    SAFEARRAY* grid = SafeArrayCreate(VT_R8, 2, square);
    for (int k = 0; k < 6; ++k)
        static_cast<double*>(grid->pvData)[k] = k + 0.5;
    v[7].vt = VT_ARRAY | VT_R8;
    v[7].parray = grid;
    v[8].vt = VT_DECIMAL;
    VarDecFromR8(-12.625, &v[8].decVal);
    v[8].vt = VT_DECIMAL;

    std::vector<DWORD> offsets;
    std::vector<BYTE> b = Block(v, &offsets);
    size_t end = 0;
    for (size_t i = 0; i < v.size(); ++i) {
        VARIANT back;
        ASSERT_EQ(S_OK, ReadValueImage(b.data(), b.size(), offsets[i], &back, &end)) << i;
        EXPECT_EQ(i + 1 < v.size() ? offsets[i + 1] : b.size(), end) << i;
        if (i == 7) {
            ASSERT_EQ(VT_ARRAY | VT_R8, back.vt);
            ASSERT_EQ(2u, SafeArrayGetDim(back.parray));
            LONG lb = 0, ub = 0;
            SafeArrayGetLBound(back.parray, 2, &lb);
            SafeArrayGetUBound(back.parray, 2, &ub);
            EXPECT_EQ(1, lb);
            EXPECT_EQ(3, ub);
            EXPECT_EQ(0, memcmp(grid->pvData, back.parray->pvData, 6 * sizeof(double)));
        } else if (i == 8) {
            EXPECT_EQ(VARCMP_EQ, VarCmp(&v[8], &back, 0, 0));
        } else {
            EXPECT_TRUE(ValuesEqual(&v[i], &back)) << i;
        }
        if (i == 4) {
            LONG lb = 0;
            SafeArrayGetLBound(back.parray, 1, &lb);
            EXPECT_EQ(5, lb);
        }
        VariantClear(&back);
    }
    for (auto& x : v)
        VariantClear(&x);
}

// Every block cut short fails for the values that no longer fit, and a
// descriptor that lies (element size, counts past the block) is refused.
TEST(StreamImage, TruncatedAndLyingImagesAreRefused)
{
    std::vector<VARIANT> v(2);
    v[0].vt = VT_ARRAY | VT_BSTR;
    v[0].parray = Strings({L"alpha", L"beta"});
    v[1].vt = VT_BSTR;
    v[1].bstrVal = SysAllocString(L"tail");
    std::vector<DWORD> offsets;
    std::vector<BYTE> b = Block(v, &offsets);
    for (size_t cut = 0; cut < b.size(); ++cut) {
        for (size_t i = 0; i < 2; ++i) {
            VARIANT back;
            const HRESULT hr = ReadValueImage(b.data(), cut, offsets[i], &back);
            const size_t need = i == 0 ? offsets[1] : b.size();
            EXPECT_EQ(cut >= need ? S_OK : E_INVALIDARG, hr) << "cut " << cut << " value " << i;
            VariantClear(&back);
        }
    }
    VARIANT back;
    std::vector<BYTE> lying = b;
    const size_t descriptor = offsets[0] + kVariantImageBytes;
    ULONG huge = 0x7FFFFFFF;
    memcpy(lying.data() + descriptor + 16, &huge, 4);  // cElements
    EXPECT_EQ(E_INVALIDARG, ReadValueImage(lying.data(), lying.size(), offsets[0], &back));
    lying = b;
    ULONG eight = 8;
    memcpy(lying.data() + descriptor + 4, &eight, 4);  // cbElements of a string slot
    EXPECT_EQ(E_INVALIDARG, ReadValueImage(lying.data(), lying.size(), offsets[0], &back));
    lying = b;
    USHORT dims = 0;
    memcpy(lying.data() + descriptor, &dims, 2);
    EXPECT_EQ(E_INVALIDARG, ReadValueImage(lying.data(), lying.size(), offsets[0], &back));
    lying = b;
    DWORD odd = 3;
    memcpy(lying.data() + offsets[1] + kVariantImageBytes, &odd, 4);  // half a character
    EXPECT_EQ(E_INVALIDARG, ReadValueImage(lying.data(), lying.size(), offsets[1], &back));
    for (VARTYPE vt : {static_cast<VARTYPE>(VT_BYREF | VT_I4), static_cast<VARTYPE>(VT_UNKNOWN),
                       static_cast<VARTYPE>(VT_ARRAY | VT_VARIANT)}) {
        lying = b;
        memcpy(lying.data() + offsets[0], &vt, 2);
        EXPECT_EQ(DISP_E_BADVARTYPE, ReadValueImage(lying.data(), lying.size(), offsets[0], &back)) << vt;
        EXPECT_EQ(VT_EMPTY, back.vt);
    }
    EXPECT_EQ(E_INVALIDARG, ReadValueImage(nullptr, 0, 0, &back));
    EXPECT_EQ(E_INVALIDARG, ReadValueImage(b.data(), b.size(), b.size() + 100, &back));
    for (auto& x : v)
        VariantClear(&x);
}
