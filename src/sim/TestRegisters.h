// The test server's registers: an item per data type that reads back what
// was written (echo), one with a new random value every device pass
// (random), and items for the error and quality paths (faults).
#pragma once
#include "common/OpcDefs.h"

#include <string>
#include <vector>

enum class RegisterBehaviour {
    kEcho,           // reads back the last value written (and its quality and time with a VQT write)
    kRandom,         // a new pseudo-random value every device pass; read-only
    kReadError,      // every read fails; data changes carry BAD quality
    kWriteError,     // readable; every write fails
    kWriteOnly,      // writable only: reads fail with OPC_E_BADRIGHTS
    kFixedQuality,   // a constant value with a constant quality
    kRandomQuality,  // a changing value whose quality cycles
    kQualityValue,   // an echo whose quality is the one written to its quality source
    kQualitySource,  // writing a quality here gives it to the quality value
};

struct CRegisterDef {
    std::wstring itemID;  // "echo.i4", "random.array.date", "faults.bad"
    VARTYPE vt;           // canonical type (VT_ARRAY | element type for arrays)
    DWORD rights;
    RegisterBehaviour behaviour;
    WORD quality;         // of kFixedQuality
    std::wstring description;
};

// The registers, in the order of the tree (device handle = kind 0x10, index).
const std::vector<CRegisterDef>& TestRegisters();
const DWORD kRegisterKind = 0x10;
inline DWORD RegisterHandle(size_t index) { return (kRegisterKind << 24) | static_cast<DWORD>(index); }
inline bool IsRegisterHandle(DWORD h) { return (h >> 24) == kRegisterKind; }
inline size_t RegisterIndex(DWORD h) { return h & 0xFFFFFF; }
// The index of an item ID (case-sensitive, as browsed), or -1.
int FindRegister(const wchar_t* itemID);

// The longest array a write may give an echo item; longer is refused per item.
const ULONG kMaxArrayLength = 65536;
// The length of the random arrays.
const ULONG kRandomArrayLength = 8;
// The code every read of faults.read_error and every write of
// faults.write_error fails with.
const HRESULT kFaultError = E_FAIL;

// Converts a written value to a register's type: scalars through the
// platform (VT_INT and VT_UINT through their 32-bit forms), one-dimensional
// arrays element by element; a value that cannot be converted gives the
// platform's code (DISP_E_TYPEMISMATCH, DISP_E_OVERFLOW), an array longer
// than kMaxArrayLength or of more dimensions E_INVALIDARG.
HRESULT ConvertToRegisterType(const VARIANT& in, VARTYPE vt, VARIANT* out);

// The initial value of a register (documented in docs/test-server.md).
void InitialRegisterValue(const CRegisterDef& def, VARIANT* out);
// A pseudo-random value of a type (arrays of kRandomArrayLength).
void RandomValue(VARTYPE vt, unsigned int* seed, VARIANT* out);
