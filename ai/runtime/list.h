#pragma once
// CList: bounded doubly linked list of values (object pointers in practice) whose nodes are
// allocated once, in one array, when the list is built. Insertion takes a node from a free
// chain and never allocates, so a node's number in the array is a stable identifier of its
// element for as long as the element stays in the list (entity indices are such numbers).
//
// Removing a node pushes it on the free chain, which reuses its next link: an iterator that
// stands on a node being removed must be moved on before the removal.

#include <cstdint>

#include "ai/runtime/engine_object.h"

template <class T> class CList;

template <class T> class CListNode : public CEngineObject {
public:
    CListNode() = default;
    CListNode(const CListNode&) = delete;
    CListNode& operator=(const CListNode&) = delete;

    T GetValue() const { return m_value; }
    CListNode* GetNext() const { return m_next; }
    CListNode* GetPrev() const { return m_prev; }
    bool IsInUse() const { return m_inUse; }

private:
    friend class CList<T>;

    T m_value{};                 // element, meaningful while in use
    CListNode* m_prev = nullptr; // previous node in use (chain of used nodes)
    CListNode* m_next = nullptr; // next node in use, or next free node while unused
    bool m_inUse = false;        // the node holds an element of the list
};

// A place in a list: a node, or null for "none" / "end".
template <class T> class CListPosition {
public:
    CListPosition() = default;
    explicit CListPosition(CListNode<T>* node) : m_node(node) {}

    bool IsNull() const { return m_node == nullptr; }
    CListNode<T>* GetNode() const { return m_node; }
    T GetValue() const { return m_node->GetValue(); }
    void MoveNext() { m_node = m_node->GetNext(); }

private:
    CListNode<T>* m_node = nullptr;
};

// Forward iterator over the elements in use, head to tail.
template <class T> class CListIterator {
public:
    CListIterator() = default;
    explicit CListIterator(CListNode<T>* node) : m_node(node) {}

    T operator*() const { return m_node->GetValue(); }
    CListIterator& operator++() {
        m_node = m_node->GetNext();
        return *this;
    }
    bool operator==(const CListIterator& other) const { return m_node == other.m_node; }
    bool operator!=(const CListIterator& other) const { return m_node != other.m_node; }
    CListNode<T>* GetNode() const { return m_node; }

private:
    CListNode<T>* m_node = nullptr;
};

template <class T> class CList : public CEngineObject {
public:
    using Node = CListNode<T>;

    // Index returned for a node that does not belong to the list.
    static constexpr std::uint32_t kNoIndex = 0xFFFFFFFFu;

    // Builds the node array (none for capacity 0). When the array cannot be allocated the
    // list has capacity 0 and every insertion fails.
    explicit CList(std::uint32_t capacity) {
        if (capacity == 0) {
            return;
        }
        m_nodes = new Node[capacity];
        if (m_nodes == nullptr) {
            return;
        }
        m_capacity = capacity;
        for (std::uint32_t i = 0; i < capacity; ++i) {
            m_nodes[i].m_prev = i > 0 ? &m_nodes[i - 1] : nullptr;
            m_nodes[i].m_next = i + 1 < capacity ? &m_nodes[i + 1] : nullptr;
        }
        m_free = &m_nodes[0];
    }

    CList(const CList&) = delete;
    CList& operator=(const CList&) = delete;

    // Destroys the nodes; the elements themselves are not touched.
    ~CList() override {
        if (m_capacity != 0) {
            delete[] m_nodes;
        }
    }

    // Inserts value in front of `before` (a node in use of this list), or after the tail when
    // `before` is null. Returns a null position and changes nothing when the list is full or
    // `before` is not a node in use of this list.
    CListPosition<T> Insert(T value, Node* before = nullptr) {
        if (m_free == nullptr || (before != nullptr && !IsUsedNode(before))) {
            return CListPosition<T>();
        }
        Node* node = m_free;
        m_free = node->m_next;
        ++m_count;
        node->m_inUse = true;
        node->m_value = value;
        if (before != nullptr) {
            node->m_prev = before->m_prev;
            node->m_next = before;
            if (before->m_prev != nullptr) {
                before->m_prev->m_next = node;
            } else {
                m_head = node;
            }
            before->m_prev = node;
        } else {
            node->m_prev = m_tail;
            node->m_next = nullptr;
            if (m_tail != nullptr) {
                m_tail->m_next = node;
            } else {
                m_head = node;
            }
            m_tail = node;
        }
        return CListPosition<T>(node);
    }

    // Unlinks a node in use and returns it to the free chain; false (nothing done) for a
    // node that is not in use in this list.
    bool Remove(Node* node) {
        if (!IsUsedNode(node)) {
            return false;
        }
        node->m_inUse = false;
        if (node == m_head) {
            m_head = node->m_next;
        }
        if (node == m_tail) {
            m_tail = node->m_prev;
        }
        if (node->m_prev != nullptr) {
            node->m_prev->m_next = node->m_next;
        }
        if (node->m_next != nullptr) {
            node->m_next->m_prev = node->m_prev;
        }
        node->m_prev = nullptr;
        node->m_value = T{};
        node->m_next = m_free;
        m_free = node;
        --m_count;
        return true;
    }

    // First node in use holding value, or null.
    Node* Find(T value) const {
        for (Node* node = m_head; node != nullptr; node = node->m_next) {
            if (node->m_value == value) {
                return node;
            }
        }
        return nullptr;
    }

    // Removes the first node holding value; false when the value is not in the list.
    bool RemoveValue(T value) { return Remove(Find(value)); }

    CListPosition<T> GetHeadPosition() const { return CListPosition<T>(m_head); }
    Node* GetHead() const { return m_head; }
    Node* GetTail() const { return m_tail; }

    // Position on node number `index` of the array, in use or not (callers check
    // IsInUse); a null position when index is not below the capacity.
    CListPosition<T> GetAt(std::uint32_t index) const {
        return index < m_capacity ? CListPosition<T>(&m_nodes[index]) : CListPosition<T>();
    }

    // The node's number in the array, or kNoIndex when it is not a node of this list.
    std::uint32_t IndexOf(const Node* node) const {
        if (!IsNodeOfArray(node)) {
            return kNoIndex;
        }
        return static_cast<std::uint32_t>(node - m_nodes);
    }

    std::uint32_t GetCount() const { return m_count; }
    std::uint32_t GetCapacity() const { return m_capacity; }
    bool IsEmpty() const { return m_count == 0; }
    bool IsFull() const { return m_free == nullptr; }

    CListIterator<T> begin() const { return CListIterator<T>(m_head); }
    CListIterator<T> end() const { return CListIterator<T>(); }

private:
    bool IsNodeOfArray(const Node* node) const {
        if (node == nullptr || m_capacity == 0) {
            return false;
        }
        // Compared as addresses: node may point anywhere.
        auto address = reinterpret_cast<std::uintptr_t>(node);
        auto first = reinterpret_cast<std::uintptr_t>(m_nodes);
        if (address < first) {
            return false;
        }
        std::uintptr_t offset = address - first;
        return offset % sizeof(Node) == 0 && offset / sizeof(Node) < m_capacity;
    }

    bool IsUsedNode(const Node* node) const { return IsNodeOfArray(node) && node->m_inUse; }

    Node* m_nodes = nullptr;      // node array, capacity nodes (null when capacity is 0)
    Node* m_head = nullptr;       // first node in use
    Node* m_tail = nullptr;       // last node in use
    Node* m_free = nullptr;       // first unused node; unused nodes chain through next
    std::uint32_t m_count = 0;    // nodes in use
    std::uint32_t m_capacity = 0; // nodes in the array
};
