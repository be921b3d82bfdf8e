// The one identifier sequence of the process: group and item server handles,
// connection numbers, transaction identifiers, default group name numbers.
#pragma once
#include "core/Locks.h"

// A set of 32-bit values kept as a sorted singly linked list of disjoint
// closed ranges.
template <class T>
class CRangeSet {
public:
    struct Node {
        Node* next;
        T low;
        T high;
    };

    CRangeSet() = default;
    CRangeSet(T low, T high) { m_head = new Node{nullptr, low, high}; }
    virtual ~CRangeSet()
    {
        while (m_head) {
            Node* n = m_head->next;
            delete m_head;
            m_head = n;
        }
    }
    CRangeSet(const CRangeSet&) = delete;
    CRangeSet& operator=(const CRangeSet&) = delete;

    bool IsEmpty() const { return m_head == nullptr; }
    const Node* Head() const { return m_head; }

    // Removes and returns the lowest value, or 0 when the set is empty.
    T TakeLowest()
    {
        if (!m_head)
            return 0;
        T value = m_head->low;
        RemoveValue(value);
        return value;
    }

    void RemoveValue(T a)
    {
        Node* prev = nullptr;
        Node* node = m_head;
        while (node && node->high < a) {
            prev = node;
            node = node->next;
        }
        if (!node || a < node->low)
            return;
        if (a == node->low) {
            if (node->low == node->high) {
                (prev ? prev->next : m_head) = node->next;
                delete node;
            } else {
                node->low = a + 1;
            }
        } else if (a == node->high) {
            node->high = a - 1;
        } else {
            Node* split = new Node{node->next, static_cast<T>(a + 1), node->high};
            node->high = a - 1;
            node->next = split;
        }
    }

    void AddValue(T a)
    {
        Node* prev = nullptr;
        Node* next = m_head;
        while (next && next->high < a) {
            prev = next;
            next = next->next;
        }
        if (prev && static_cast<unsigned long long>(a) == static_cast<unsigned long long>(prev->high) + 1) {
            prev->high = a;
            if (next && static_cast<unsigned long long>(next->low) == static_cast<unsigned long long>(a) + 1) {
                prev->high = next->high;
                prev->next = next->next;
                delete next;
            }
            return;
        }
        if (!next || static_cast<unsigned long long>(a) + 1 < next->low) {
            Node* n = new Node{next, a, a};
            (prev ? prev->next : m_head) = n;
            return;
        }
        if (next && static_cast<unsigned long long>(next->low) == static_cast<unsigned long long>(a) + 1)
            next->low = a;
    }

private:
    Node* m_head = nullptr;
};

class CIdMgr : public CCriticalSection {
public:
    // The free set starts as [low, high]: 1 to 4294967295 for the process.
    explicit CIdMgr(unsigned long low = 1, unsigned long high = 0xFFFFFFFFu)
        : m_setFree(low, high), m_pCurrent(&m_setFree), m_pOther(&m_setSpare) {}
    ~CIdMgr() override = default;

    // The lowest free identifier; 0 when none is left.
    unsigned long Allocate();
    // Gives an identifier back; it is handed out again only after the whole
    // range has been used once.
    void ReleaseId(unsigned long id);

    CRangeSet<unsigned long> m_setFree;
    CRangeSet<unsigned long> m_setSpare;
    CRangeSet<unsigned long>* m_pCurrent;
    CRangeSet<unsigned long>* m_pOther;
};

extern CIdMgr g_idMgr;
