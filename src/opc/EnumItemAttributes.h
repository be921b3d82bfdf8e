// The item-attributes enumerator of a group.
#pragma once
#include "common/ComObject.h"
#include "common/OpcDefs.h"

#include <memory>

// A snapshot of item attributes, allocated on the process heap; freed when
// the last enumerator that shares it goes.
struct CItemAttributesSnapshot {
    CItemAttributesSnapshot(OPCITEMATTRIBUTES* items, DWORD count) : m_items(items), m_count(count) {}
    ~CItemAttributesSnapshot();
    OPCITEMATTRIBUTES* m_items;
    DWORD m_count;
};

class CEnumOPCItemAttributes : public IEnumOPCItemAttributes {
public:
    CEnumOPCItemAttributes();
    // Gives the enumerator its snapshot (the owner) or a share of another's.
    void Init(std::shared_ptr<CItemAttributesSnapshot> snapshot, BOOL bOwner, OPCITEMATTRIBUTES* pCurrent);

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;
    STDMETHODIMP Next(ULONG celt, OPCITEMATTRIBUTES** ppItemArray, ULONG* pceltFetched) override;
    STDMETHODIMP Skip(ULONG celt) override;
    STDMETHODIMP Reset() override;
    STDMETHODIMP Clone(IEnumOPCItemAttributes** ppEnumItemAttributes) override;

    OPCITEMATTRIBUTES* m_pBegin = nullptr;
    OPCITEMATTRIBUTES* m_pEnd = nullptr;
    OPCITEMATTRIBUTES* m_pCurrent = nullptr;
    BOOL m_bOwner = FALSE;

private:
    virtual ~CEnumOPCItemAttributes();
    CTracedRefCount m_refs;
    std::shared_ptr<CItemAttributesSnapshot> m_snapshot;
};
