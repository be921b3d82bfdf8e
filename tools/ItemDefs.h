// Item definitions for the tools' AddItems calls.
#pragma once
#include "common/OpcDefs.h"

#include <cstddef>

// Fills defs[0..n) with the item IDs, an empty access path, the active flag,
// no requested type and client handle 0.
inline void FillItemDefs(OPCITEMDEF* defs, const wchar_t* const* ids, size_t n, BOOL active = TRUE)
{
    for (size_t k = 0; k < n; ++k) {
        defs[k] = OPCITEMDEF{};
        defs[k].szItemID = const_cast<wchar_t*>(ids[k]);
        defs[k].szAccessPath = const_cast<wchar_t*>(L"");
        defs[k].bActive = active;
    }
}
