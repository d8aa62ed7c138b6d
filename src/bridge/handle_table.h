// The table of a family's records named by handle: one sequence in creation order, each record in
// a heap block of its own.
//
// Both families issue handles from a counter that only grows and append each new record at the
// end, the handle set before anything can look it up, so the handles stand in strictly increasing
// order from front to back. A scan from the front for the first record with a handle therefore
// finds the same record as a binary search (there is never a second one with it), and any value
// that is no record's handle (0, a negative number, one never issued or already freed) is found
// by neither. The search changes the cost, not the answer.
//
// Records never move: the sequence holds pointers, so removing one moves pointers, not records,
// and a reference to a record stays valid until that record is removed.
#pragma once

#include <jni.h>

#include <algorithm>
#include <cstddef>
#include <memory>
#include <new>
#include <vector>

template <typename Record>
class HandleTable {
 public:
  using Slots = std::vector<std::unique_ptr<Record>>;
  using iterator = typename Slots::iterator;

  // Appends a new record with every field at its default; the caller gives it the next handle
  // before the table is searched again.
  Record& emplace_back() {
    slots_.push_back(std::make_unique<Record>());
    return *slots_.back();
  }
  Record& back() { return *slots_.back(); }
  void pop_back() {
    slots_.pop_back();
    GiveBackMemory();
  }

  // The position of the record whose handle equals `handle`, or end().
  iterator Position(jint handle) {
    auto position = std::lower_bound(slots_.begin(), slots_.end(), handle,
                                     [](const std::unique_ptr<Record>& record, jint wanted) { return record->handle < wanted; });
    return position != slots_.end() && (*position)->handle == handle ? position : slots_.end();
  }
  Record* Find(jint handle) {
    auto position = Position(handle);
    return position == slots_.end() ? nullptr : position->get();
  }

  // Destroys the record at `position`; the ones behind it keep their order.
  void erase(iterator position) {
    slots_.erase(position);
    GiveBackMemory();
  }
  // Destroys every record and frees the sequence itself.
  void clear() { Slots().swap(slots_); }

  iterator begin() { return slots_.begin(); }
  iterator end() { return slots_.end(); }
  size_t size() const { return slots_.size(); }
  bool empty() const { return slots_.empty(); }
  size_t capacity() const { return slots_.capacity(); }

 private:
  // Below this the sequence is too small to be worth reallocating.
  static constexpr size_t kKeptCapacity = 64;

  // Once a burst of records has gone, the sequence shrinks to what is left. Shrinking only when a
  // quarter is in use leaves room to grow again, so a table that hovers around one size does not
  // reallocate back and forth. Keeping the memory is harmless when a smaller block can't be had.
  void GiveBackMemory() {
    if (slots_.capacity() <= kKeptCapacity || slots_.size() >= slots_.capacity() / 4) return;
    try {
      slots_.shrink_to_fit();
    } catch (const std::bad_alloc&) {
    }
  }

  Slots slots_;
};
