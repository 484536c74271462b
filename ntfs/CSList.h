// CSList<T>: the NTFS reader's owning list with a built-in cursor. The list owns its elements
// (deleted through their destructors, virtual where the type has one). Because the cursor
// lives in the list, one list supports one iteration at a time: any First() restarts whatever
// iteration was in progress.
//
// The element pointers are kept in one array: the first two in the list itself, more in a
// heap array that grows by doubling, is kept when the list is cleared and given back when the
// list is released or shrinks to two. Most lists of a record hold one or two attributes, so
// they cost no allocation of their own, and a list that is refilled over and over (an index
// block read block after block) allocates only once.
//
// Threads: a list belongs to one thread; nothing here locks.
#pragma once

#include <cstdint>
#include <cstring>

template <typename T>
class CSList {
public:
    CSList() = default;
    virtual ~CSList() {
        Clear();
        DropHeapArray();
    }

    CSList(const CSList&) = delete;
    CSList& operator=(const CSList&) = delete;

    // Appends an element after the tail (amortised constant time); the list takes ownership.
    // The cursor does not move.
    void Append(T* element) {
        if (count_ == capacity_) Grow();
        items_[count_++] = element;
    }

    // Unlinks and destroys the first occurrence of this element. A cursor on it moves on to
    // its successor. False when the element is not in the list.
    bool Discard(T* element) {
        int32_t at = 0;
        while (at < count_ && items_[at] != element) ++at;
        if (at == count_) return false;
        std::memmove(items_ + at, items_ + at + 1, sizeof(T*) * static_cast<size_t>(count_ - at - 1));
        --count_;
        // The cursor keeps its element: one slot down when it stood behind the one removed; on
        // the removed one it now stands on the successor (none after the tail).
        if (cursor_ > at) {
            --cursor_;
        } else if (cursor_ == at && cursor_ >= count_) {
            cursor_ = kNoCursor;
        }
        // Back into the list itself once few enough are left (a record's names shrink from
        // one per hard link to those of one link, and the list lives as long as the record).
        if (items_ != inline_ && count_ <= kInline) {
            std::memcpy(inline_, items_, sizeof(T*) * static_cast<size_t>(count_));
            DropHeapArray();
        }
        delete element;
        return true;
    }

    // Destroys every element, head first; the list is empty afterwards (a heap array is kept
    // for the next elements).
    void Clear() {
        for (int32_t i = 0; i < count_; ++i) delete items_[i];
        Reset();
    }

    // Empties the list without destroying the elements (they were handed elsewhere), and
    // gives back its heap array.
    void Release() {
        Reset();
        DropHeapArray();
    }

    // Sets the cursor to the head and returns its element, or null when empty.
    T* First() {
        cursor_ = count_ > 0 ? 0 : kNoCursor;
        return cursor_ != kNoCursor ? items_[0] : nullptr;
    }

    // Advances the cursor and returns its element; null at (and after) the end.
    T* Next() {
        if (cursor_ == kNoCursor) return nullptr;
        if (++cursor_ >= count_) {
            cursor_ = kNoCursor;
            return nullptr;
        }
        return items_[cursor_];
    }

    int32_t Count() const { return count_; }

private:
    static constexpr int32_t kNoCursor = -1;
    static constexpr int32_t kInline = 2;

    void Grow() {
        const int32_t capacity = capacity_ * 2;
        T** items = new T*[static_cast<size_t>(capacity)];
        std::memcpy(items, items_, sizeof(T*) * static_cast<size_t>(count_));
        if (items_ != inline_) delete[] items_;
        items_ = items;
        capacity_ = capacity;
    }

    // Back to the two slots of the list itself (what they must hold is already there).
    void DropHeapArray() {
        if (items_ == inline_) return;
        delete[] items_;
        items_ = inline_;
        capacity_ = kInline;
    }

    void Reset() {
        count_ = 0;
        cursor_ = kNoCursor;
    }

    T** items_ = inline_;        // the element pointers in list order: inline_ or a heap array
    int32_t count_ = 0;
    int32_t capacity_ = kInline; // slots in items_
    int32_t cursor_ = kNoCursor; // index of the cursor's element; kNoCursor when it has none
    T* inline_[kInline] = {};
};
