// CSList<T>: the NTFS reader's owning singly linked list with a tail pointer and a built-in
// cursor. The list owns its elements (deleted through their destructors, virtual where the
// type has one). Because the cursor lives in the list, one list supports one iteration at a
// time: any First() restarts whatever iteration was in progress.
//
// Threads: a list belongs to one thread; nothing here locks.
#pragma once

#include <cstdint>

template <typename T>
class CSList {
public:
    CSList() = default;
    virtual ~CSList() { Clear(); }

    CSList(const CSList&) = delete;
    CSList& operator=(const CSList&) = delete;

    // Appends an element after the tail (constant time); the list takes ownership.
    // The cursor does not move.
    void Append(T* element) {
        Node* node = new Node{nullptr, element};
        if (tail_ != nullptr) {
            tail_->next = node;
        } else {
            head_ = node;
        }
        tail_ = node;
        ++count_;
    }

    // Unlinks and destroys the first node holding this element. A cursor on that node moves
    // on to its successor. False when the element is not in the list.
    bool Discard(T* element) {
        Node* prev = nullptr;
        Node* node = head_;
        while (node != nullptr && node->element != element) {
            prev = node;
            node = node->next;
        }
        if (node == nullptr) return false;
        (prev != nullptr ? prev->next : head_) = node->next;
        if (tail_ == node) tail_ = prev;
        if (cursor_ == node) cursor_ = node->next;
        --count_;
        delete node->element;
        delete node;
        return true;
    }

    // Destroys every element and node; the list is empty afterwards.
    void Clear() {
        for (Node* node = head_; node != nullptr;) {
            Node* next = node->next;
            delete node->element;
            delete node;
            node = next;
        }
        Reset();
    }

    // Frees every node without destroying the elements (they were handed elsewhere).
    void Release() {
        for (Node* node = head_; node != nullptr;) {
            Node* next = node->next;
            delete node;
            node = next;
        }
        Reset();
    }

    // Sets the cursor to the head and returns its element, or null when empty.
    T* First() {
        cursor_ = head_;
        return cursor_ != nullptr ? cursor_->element : nullptr;
    }

    // Advances the cursor and returns its element; null at (and after) the end.
    T* Next() {
        if (cursor_ != nullptr) cursor_ = cursor_->next;
        return cursor_ != nullptr ? cursor_->element : nullptr;
    }

    int32_t Count() const { return count_; }

private:
    struct Node {
        Node* next;
        T* element;
    };

    void Reset() {
        count_ = 0;
        head_ = tail_ = cursor_ = nullptr;
    }

    int32_t count_ = 0;
    Node* head_ = nullptr;
    Node* tail_ = nullptr;
    Node* cursor_ = nullptr;
};
