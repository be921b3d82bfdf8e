// Reading the values of a 1.0a data block back into VARIANTs, for clients
// of either bitness: the blocks always have the 32-bit server's layout.
#pragma once
#include <windows.h>
#include <oleauto.h>

#include <cstddef>

// Sizes of the 32-bit images in a block (an array's descriptor is read
// field by field: cDims, fFeatures, cbElements, cLocks, pvData, then one
// 8-byte bound per dimension).
constexpr size_t kVariantImageBytes = 16;    // VARIANT: the type, the value at offset 8
constexpr size_t kStringSlotImageBytes = 4;  // a BSTR element's (zeroed) slot

// Reads the value image at `offset` of the block into *value (VariantInit'd
// first; the caller clears it): a scalar from the 16-byte VARIANT image, a
// string from its byte count, characters and NUL after it, an array from
// its descriptor, further bounds, element data and, for strings, each
// element's string. *end, when given, is the offset after the image.
// E_INVALIDARG when the image does not fit the block or contradicts itself,
// DISP_E_BADVARTYPE for a type a block cannot carry (pointers, VARIANT
// arrays).
HRESULT ReadValueImage(const BYTE* block, size_t size, size_t offset, VARIANT* value, size_t* end = nullptr);
