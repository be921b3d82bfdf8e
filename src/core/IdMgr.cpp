#include "core/IdMgr.h"

CIdMgr g_idMgr;

unsigned long CIdMgr::Allocate()
{
    CLockGuard<CIdMgr> lock(*this);
    unsigned long id = m_pCurrent->TakeLowest();
    if (id == 0) {
        m_pCurrent = m_pOther;
        id = m_pCurrent->TakeLowest();
    }
    return id;
}

void CIdMgr::ReleaseId(unsigned long id)
{
    CLockGuard<CIdMgr> lock(*this);
    m_pOther->AddValue(id);
}
