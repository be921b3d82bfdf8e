// The address space clients browse: a fixed tree showing the item-ID pattern.
#pragma once
#include "common/OpcDefs.h"

#include <list>
#include <string>
#include <vector>

class CAddrNode {
public:
    CAddrNode(CAddrNode* parent, DWORD rights, VARTYPE vt, const wchar_t* delimiter, const wchar_t* browseName,
              const wchar_t* itemIDPart, const wchar_t* accessPath, bool branch);
    virtual ~CAddrNode();
    CAddrNode(const CAddrNode&) = delete;
    CAddrNode& operator=(const CAddrNode&) = delete;

    bool IsBranch() const { return m_pChildren != nullptr; }
    // The browse name, else the item-ID part, else "".
    const wchar_t* Name() const;
    CAddrNode* FindChild(const wchar_t* name) const;
    CAddrNode* FindByItemID(const wchar_t* text);
    std::wstring ComposeItemID() const;
    void Dump(int indent) const;

    CAddrNode* m_pParent;
    std::list<CAddrNode*>* m_pChildren = nullptr;  // newest first
    DWORD m_dwAccessRights;
    VARTYPE m_vtDataType;
    wchar_t* m_szDelimiter;
    wchar_t* m_szBrowseName;
    wchar_t* m_szItemIDPart;
    wchar_t* m_szAccessPath;
};

class CAddrSpace {
public:
    CAddrSpace();
    virtual ~CAddrSpace();
    CAddrSpace(const CAddrSpace&) = delete;
    CAddrSpace& operator=(const CAddrSpace&) = delete;

    HRESULT AddNode(CAddrNode* parent, DWORD rights, VARTYPE vt, const wchar_t* delimiter,
                    const wchar_t* browseName, const wchar_t* itemIDPart, const wchar_t* accessPath, int branch);
    HRESULT MoveUp(CAddrNode** position) const;
    HRESULT MoveDown(const wchar_t* name, CAddrNode** position) const;
    // The item ID of a child of the position, or of a leaf below it named by
    // the item ID a flat browse from there returns.
    HRESULT GetItemID(CAddrNode* position, const wchar_t* name, LPWSTR* pItemID) const;
    // The leaf below a node whose item ID is itemID, or null.
    static CAddrNode* FindFlatLeaf(CAddrNode* below, const wchar_t* itemID);
    DWORD GetOrganization() const { return m_dwOrganization; }
    void Dump() const;

    DWORD m_dwOrganization = OPC_NS_HIERARCHIAL;
    // Whether BrowseOPCItemIDs applies its data type filter to the leaves'
    // types (the leaves carry their items' true types); else the filter is
    // accepted and not applied.
    bool m_bFilterByType = false;
    CAddrNode* m_pRoot;
};

// Builds the server's tree (setX with itemY, on, fct, period, T0) and dumps it.
HRESULT BuildAddressSpace(CAddrSpace** ppSpace);
// What server objects build their address space with: BuildAddressSpace,
// unless a profile set another builder before serving.
extern HRESULT (*pfnBuildAddressSpace)(CAddrSpace** ppSpace);

// The browse filter: ?, #, *, [list] with ranges and !, case-sensitive.
bool MatchFilter(const wchar_t* name, const wchar_t* pattern);
