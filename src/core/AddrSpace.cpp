#include "core/AddrSpace.h"

#include "common/ComUtil.h"
#include "common/OPCGlob.h"
#include "common/Trace.h"

#include <cstring>
#include <new>

namespace {
wchar_t* CopyOrNone(const wchar_t* s)
{
    if (!s)
        return nullptr;
    return DupWideString(s, [](size_t bytes) -> void* { return new (std::nothrow) char[bytes]; });
}
void FreeString(wchar_t* s) { delete[] reinterpret_cast<char*>(s); }
const wchar_t* OrEmpty(const wchar_t* s) { return s ? s : L""; }
}  // namespace

CAddrNode::CAddrNode(CAddrNode* parent, DWORD rights, VARTYPE vt, const wchar_t* delimiter,
                     const wchar_t* browseName, const wchar_t* itemIDPart, const wchar_t* accessPath, bool branch)
    : m_pParent(parent), m_dwAccessRights(rights), m_vtDataType(vt), m_szDelimiter(CopyOrNone(delimiter)),
      m_szBrowseName(CopyOrNone(browseName)), m_szItemIDPart(CopyOrNone(itemIDPart)),
      m_szAccessPath(CopyOrNone(accessPath))
{
    if (branch)
        m_pChildren = new (std::nothrow) std::list<CAddrNode*>();
}

CAddrNode::~CAddrNode()
{
    if (m_pChildren) {
        for (CAddrNode* child : *m_pChildren)
            delete child;
        delete m_pChildren;
    }
    FreeString(m_szDelimiter);
    FreeString(m_szBrowseName);
    FreeString(m_szItemIDPart);
    FreeString(m_szAccessPath);
}

const wchar_t* CAddrNode::Name() const
{
    if (m_szBrowseName)
        return m_szBrowseName;
    return OrEmpty(m_szItemIDPart);
}

CAddrNode* CAddrNode::FindChild(const wchar_t* name) const
{
    if (!m_pChildren || !name)
        return nullptr;
    for (CAddrNode* child : *m_pChildren) {
        if (wcscmp(child->Name(), name) == 0)
            return child;
    }
    return nullptr;
}

CAddrNode* CAddrNode::FindByItemID(const wchar_t* text)
{
    if (!text)
        return nullptr;
    if (m_szItemIDPart && *m_szItemIDPart) {
        size_t n = wcslen(m_szItemIDPart);
        if (wcsncmp(text, m_szItemIDPart, n) != 0)
            return nullptr;
        text += n;
        if (*text == L'\0')
            return this;
    }
    if (m_szDelimiter && *m_szDelimiter) {
        size_t n = wcslen(m_szDelimiter);
        if (wcsncmp(text, m_szDelimiter, n) != 0)
            return nullptr;
        text += n;
    }
    if (!m_pChildren)
        return nullptr;
    for (CAddrNode* child : *m_pChildren) {
        if (CAddrNode* found = child->FindByItemID(text))
            return found;
    }
    return nullptr;
}

std::wstring CAddrNode::ComposeItemID() const
{
    std::vector<const CAddrNode*> ancestors;
    for (const CAddrNode* a = m_pParent; a && a->m_pParent; a = a->m_pParent)
        ancestors.push_back(a);  // stops before the root
    std::wstring id;
    for (auto it = ancestors.rbegin(); it != ancestors.rend(); ++it) {
        if ((*it)->m_szItemIDPart && *(*it)->m_szItemIDPart) {
            id += (*it)->m_szItemIDPart;
            id += OrEmpty((*it)->m_szDelimiter);
        }
    }
    if (m_pParent && m_szItemIDPart)
        id += m_szItemIDPart;
    return id;
}

void CAddrNode::Dump(int indent) const
{
    DebugTrace(L"%s%-16s - %-16s: %s %s\n", GetIndent(indent), m_szBrowseName, m_szItemIDPart,
               GetVarTypeName(m_vtDataType), GetAccessRightsName(m_dwAccessRights));
    if (m_pChildren) {
        for (const CAddrNode* child : *m_pChildren)
            child->Dump(indent + 4);
    }
}

CAddrSpace::CAddrSpace()
    : m_pRoot(new CAddrNode(nullptr, 0, VT_EMPTY, nullptr, L"<<< ROOT >>>", nullptr, nullptr, false))
{
}

CAddrSpace::~CAddrSpace() { delete m_pRoot; }

HRESULT CAddrSpace::AddNode(CAddrNode* parent, DWORD rights, VARTYPE vt, const wchar_t* delimiter,
                            const wchar_t* browseName, const wchar_t* itemIDPart, const wchar_t* accessPath,
                            int branch)
{
    auto* node = new (std::nothrow)
        CAddrNode(parent, rights, vt, delimiter, browseName, itemIDPart, accessPath, branch == 1);
    if (!node)
        return E_OUTOFMEMORY;
    try {
        if (!parent->m_pChildren)
            parent->m_pChildren = new std::list<CAddrNode*>();
        parent->m_pChildren->push_front(node);
    } catch (const std::bad_alloc&) {
        delete node;
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

HRESULT CAddrSpace::MoveUp(CAddrNode** position) const
{
    if (!(*position)->m_pParent)
        return E_FAIL;
    *position = (*position)->m_pParent;
    return S_OK;
}

HRESULT CAddrSpace::MoveDown(const wchar_t* name, CAddrNode** position) const
{
    CAddrNode* child = (*position)->FindChild(name);
    if (!child)
        return E_FAIL;
    *position = child;
    return S_OK;
}

CAddrNode* CAddrSpace::FindFlatLeaf(CAddrNode* below, const wchar_t* itemID)
{
    if (!below->m_pChildren)
        return nullptr;
    for (CAddrNode* child : *below->m_pChildren) {
        if (!child->IsBranch() && child->ComposeItemID() == itemID)
            return child;
        if (CAddrNode* found = FindFlatLeaf(child, itemID))
            return found;
    }
    return nullptr;
}

HRESULT CAddrSpace::GetItemID(CAddrNode* position, const wchar_t* name, LPWSTR* pItemID) const
{
    *pItemID = nullptr;
    if (name && !*name) {
        // An empty name asks where the position is: its own item ID, the
        // empty string at the root.
        wchar_t* here = TaskMemStrDup(position == m_pRoot ? L"" : position->ComposeItemID().c_str());
        if (!here)
            return E_OUTOFMEMORY;
        *pItemID = here;
        return S_OK;
    }
    CAddrNode* child = position->FindChild(name);
    // A name a flat browse from here returns is a leaf's item ID already.
    if (!child && name)
        child = FindFlatLeaf(position, name);
    if (!child)
        return E_FAIL;
    wchar_t* id = TaskMemStrDup(child->ComposeItemID().c_str());
    if (!id)
        return E_OUTOFMEMORY;
    *pItemID = id;
    return S_OK;
}

void CAddrSpace::Dump() const
{
    DebugTrace(L"========================\n= Server Address Space =\n========================\n");
    m_pRoot->Dump(0);
    DebugTrace(L"========================\n========================\n\n");
}

HRESULT (*pfnBuildAddressSpace)(CAddrSpace** ppSpace) = &BuildAddressSpace;

HRESULT BuildAddressSpace(CAddrSpace** ppSpace)
{
    *ppSpace = new (std::nothrow) CAddrSpace();
    if (!*ppSpace)
        return E_OUTOFMEMORY;
    CAddrSpace& space = **ppSpace;
    space.m_dwOrganization = OPC_NS_HIERARCHIAL;
    space.AddNode(space.m_pRoot, 3, VT_EMPTY, L".", L"setX", L"setX", L"setX", 2);
    CAddrNode* position = space.m_pRoot;
    if (SUCCEEDED(space.MoveDown(L"setX", &position))) {
        for (const wchar_t* name : {L"itemY", L"on", L"fct", L"period", L"T0"})
            space.AddNode(position, 3, VT_R8, L".", name, name, nullptr, 2);
        space.MoveUp(&position);
    }
    space.Dump();
    return S_OK;
}

bool MatchFilter(const wchar_t* name, const wchar_t* pattern)
{
    for (;;) {
        wchar_t p = *pattern;
        if (p == L'\0')
            return *name == L'\0';
        ++pattern;
        switch (p) {
        case L'?':
            if (*name == L'\0')
                return false;
            ++name;
            break;
        case L'#':
            if (*name < L'0' || *name > L'9')
                return false;
            ++name;
            break;
        case L'*':
            if (*name == L'\0')
                break;  // go on with the rest of the pattern
            for (const wchar_t* from = name; *from; ++from) {
                if (MatchFilter(from, pattern))
                    return true;
            }
            name += wcslen(name);
            break;
        case L'[': {
            wchar_t c = *name;
            if (c == L'\0')
                return false;
            ++name;
            bool negated = false;
            if (*pattern == L'!') {
                negated = true;
                ++pattern;
            }
            wchar_t previous = 0;  // a range at the very start begins at code 0
            bool matched = false;
            for (;;) {
                wchar_t l = *pattern;
                if (l == L'\0')
                    return MatchFilter(name, pattern);  // unclosed: accepted, pattern at its end
                ++pattern;
                if (l == L']') {
                    if (!negated && !matched)
                        return false;
                    break;  // negated list reached its end: accepted
                }
                bool inList;
                if (l == L'-') {
                    wchar_t high = *pattern;
                    if (high == L']' || high == L'\0')
                        return false;
                    ++pattern;
                    inList = c >= previous && c <= high;
                    previous = high;
                } else {
                    inList = c == l;
                    previous = l;
                }
                if (inList) {
                    if (negated)
                        return false;
                    matched = true;
                    // skip the rest of the list through its ']'
                    while (*pattern && *pattern != L']')
                        ++pattern;
                    if (*pattern == L']')
                        ++pattern;
                    break;
                }
            }
            break;
        }
        default:
            if (*name != p)
                return false;
            ++name;
            break;
        }
    }
}
