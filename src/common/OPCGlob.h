// Shared OPC helpers: performance-counter rate, stream clipboard formats,
// default group names, variant helpers, name tables, record copy/free.
#pragma once
#include "common/OpcDefs.h"

#include <cstddef>

// Performance-counter counts per millisecond (QueryPerformanceFrequency / 1000).
extern const LONGLONG g_ticksPerMs;
// Reads the rate; safe to call during static initialisation of other files.
LONGLONG TicksPerMs();

// Clipboard formats of "OPCSTMFORMATDATA", "OPCSTMFORMATDATATIME",
// "OPCSTMFORMATWRITECOMPLETE".
extern const UINT g_cfData;
extern const UINT g_cfDataTime;
extern const UINT g_cfWriteComplete;

// Writes "$Group_<digits>$" with the digits of a fresh identifier, least
// significant first. The buffer holds at least 19 characters. *pId receives
// the identifier; its holder gives it back when the name is no longer borne.
wchar_t* MakeDefaultGroupName(wchar_t* buffer, unsigned long* pId);

HRESULT DetachVariant(VARIANT* source, VARIANT* destination);
HRESULT ChangeVariantType(VARIANT* variant, VARTYPE vt, VARIANT* source = nullptr);
// Value equality of the item change check.
bool VariantsEqual(const VARIANT* a, const VARIANT* b);
// The change check's comparison: VariantsEqual, and by content for the types
// it leaves out (I8, UI8, INT, UINT, CY, DATE, scalars and one-dimensional
// arrays), which only the test server's items hold.
bool ValuesEqual(const VARIANT* a, const VARIANT* b);

const wchar_t* GetVarTypeName(VARTYPE vt);
const wchar_t* GetAccessRightsName(DWORD rights);
const wchar_t* GetIndent(int n);

using AllocFn = void* (*)(size_t bytes);
using ReleaseFn = void (*)(void* block);
void* TaskMemAllocFn(size_t bytes);
void TaskMemFreeFn(void* block);
void* HeapAllocFn(size_t bytes);
void HeapFreeFn(void* block);

// Deep copy of one record with the given allocator. A field whose memory
// cannot be allocated is left NULL and the result is E_OUTOFMEMORY.
HRESULT CopyItemAttributes(OPCITEMATTRIBUTES* destination, const OPCITEMATTRIBUTES* source, AllocFn alloc);
HRESULT FreeItemAttributesArray(DWORD count, OPCITEMATTRIBUTES* array, ReleaseFn release);
HRESULT FreeItemResultArray(DWORD count, OPCITEMRESULT* array);
HRESULT FreeTaskMem(void* block);
