// Lets one delivery to a client's callback run at a time for its owner, and
// lets the owner's removal wait for the delivery in progress: after the
// removal returns, no callback of the owner is running or will start.
//
// The wait skips a delivery of the caller's own logical thread: a client
// that removes the owner from inside the callback is that delivery (COM
// carries the causality ID of the outgoing call into the calls the client
// makes from inside it), and waiting for it would never end.
//
// Its lock is a leaf: it is never held across a call out or another lock.
#pragma once
#include <windows.h>
#include <objbase.h>

#include <condition_variable>
#include <mutex>

class CDeliveryGate {
public:
    // Waits until no delivery runs, then makes the caller's the one.
    void Enter()
    {
        GUID cid = CurrentCausality();
        std::unique_lock<std::mutex> lock(m_mutex);
        m_idle.wait(lock, [this] { return !m_busy; });
        m_busy = true;
        m_cid = cid;
    }
    void Leave()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_busy = false;
        }
        m_idle.notify_all();
    }
    // Waits for the delivery in progress unless the caller is inside it.
    void WaitIdle()
    {
        GUID cid = CurrentCausality();
        std::unique_lock<std::mutex> lock(m_mutex);
        m_idle.wait(lock, [&] { return !m_busy || (IsEqualGUID(m_cid, cid) && !IsEqualGUID(cid, GUID_NULL)); });
    }

private:
    static GUID CurrentCausality()
    {
        GUID cid = GUID_NULL;
        if (FAILED(CoGetCurrentLogicalThreadId(&cid)))
            cid = GUID_NULL;
        return cid;
    }
    std::mutex m_mutex;
    std::condition_variable m_idle;
    bool m_busy = false;
    GUID m_cid = GUID_NULL;
};
