// Small owners for COM resources and the one boundary every interface method
// goes through.
#pragma once
#include <windows.h>
#include <ole2.h>
#include <oleauto.h>

#include <cstddef>
#include <cstdint>
#include <new>
#include <utility>

// An out-pointer argument a client gave us: non-null and writable for n bytes.
inline bool IsWritableOut(const void* p, UINT_PTR bytes = 4)
{
    return p != nullptr && !IsBadWritePtr(const_cast<void*>(p), bytes);
}

// Multiplies a client's element count by a record size; false when the
// product would not fit in the 32-bit address space (callers then answer
// E_OUTOFMEMORY before allocating or writing anything).
inline bool CheckedArrayBytes(DWORD count, size_t recordSize, size_t* bytes)
{
    uint64_t total = static_cast<uint64_t>(count) * recordSize;
    if (total > 0x7FFFFFFFu)
        return false;
    *bytes = static_cast<size_t>(total);
    return true;
}

// Runs the body of an interface method: a thrown HRESULT is returned, out of
// memory becomes E_OUTOFMEMORY and anything unexpected E_FAIL.
template <class F>
HRESULT ComBoundary(F&& body) noexcept
{
    try {
        return body();
    } catch (HRESULT hr) {
        return hr;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_FAIL;
    }
}

// A VARIANT that clears itself.
class CVariant {
public:
    CVariant() { VariantInit(&m_v); }
    ~CVariant() { VariantClear(&m_v); }
    CVariant(const CVariant&) = delete;
    CVariant& operator=(const CVariant&) = delete;
    VARIANT* operator&() { return &m_v; }
    VARIANT& get() { return m_v; }
    const VARIANT& get() const { return m_v; }
    VARIANT* ptr() { return &m_v; }
    void Clear() { VariantClear(&m_v); }
    // Hands the value over; this variant becomes VT_EMPTY.
    VARIANT Detach()
    {
        VARIANT v = m_v;
        VariantInit(&m_v);
        return v;
    }

private:
    VARIANT m_v;
};

// A block from the COM task allocator, freed unless detached.
template <class T>
class CTaskMem {
public:
    CTaskMem() = default;
    explicit CTaskMem(T* p) : m_p(p) {}
    ~CTaskMem() { CoTaskMemFree(m_p); }
    CTaskMem(const CTaskMem&) = delete;
    CTaskMem& operator=(const CTaskMem&) = delete;
    CTaskMem(CTaskMem&& o) noexcept : m_p(std::exchange(o.m_p, nullptr)) {}
    // Allocates bytes; returns false when the allocator has nothing.
    bool AllocateBytes(size_t bytes)
    {
        reset();
        m_p = static_cast<T*>(CoTaskMemAlloc(bytes ? bytes : 1));
        return m_p != nullptr;
    }
    // Allocates count elements with an overflow check on the size.
    bool Allocate(DWORD count)
    {
        size_t bytes;
        if (!CheckedArrayBytes(count, sizeof(T), &bytes))
            return false;
        return AllocateBytes(bytes);
    }
    T* get() const { return m_p; }
    T& operator[](size_t i) const { return m_p[i]; }
    T** operator&() { return &m_p; }
    T* Detach() { return std::exchange(m_p, nullptr); }
    void reset(T* p = nullptr)
    {
        CoTaskMemFree(m_p);
        m_p = p;
    }

private:
    T* m_p = nullptr;
};

// A copy of a wide string (NULL copies as "") in memory from alloc(bytes);
// nullptr when the allocator has nothing.
template <class Alloc>
wchar_t* DupWideString(const wchar_t* s, Alloc alloc)
{
    if (!s)
        s = L"";
    size_t bytes = (wcslen(s) + 1) * sizeof(wchar_t);
    auto* p = static_cast<wchar_t*>(alloc(bytes));
    if (p)
        memcpy(p, s, bytes);
    return p;
}

// A task-memory copy of a wide string (nullptr when out of memory).
inline wchar_t* TaskMemStrDup(const wchar_t* s) { return DupWideString(s, CoTaskMemAlloc); }

// An HGLOBAL owner.
class CHGlobal {
public:
    CHGlobal() = default;
    explicit CHGlobal(HGLOBAL h) : m_h(h) {}
    ~CHGlobal()
    {
        if (m_h)
            GlobalFree(m_h);
    }
    CHGlobal(const CHGlobal&) = delete;
    CHGlobal& operator=(const CHGlobal&) = delete;
    HGLOBAL get() const { return m_h; }
    HGLOBAL* operator&() { return &m_h; }
    HGLOBAL Detach() { return std::exchange(m_h, nullptr); }

private:
    HGLOBAL m_h = nullptr;
};
