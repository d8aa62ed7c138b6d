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
// and a reference to a record stays valid until that record is removed. Removing a record moves
// only the pointers on its shorter side: the ones in front of it step back into its place and leave
// an empty slot at the front, which later removals reuse until the empty slots outnumber the
// records and are closed up in one move. So freeing the oldest of many contexts costs what freeing
// the newest does, and the pointers stay in one block, which a binary search reads fastest.
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
    Settle();
  }

  // The position of the record whose handle equals `handle`, or end().
  iterator Position(jint handle) {
    auto position = std::lower_bound(begin(), end(), handle,
                                     [](const std::unique_ptr<Record>& record, jint wanted) { return record->handle < wanted; });
    return position != end() && (*position)->handle == handle ? position : end();
  }
  Record* Find(jint handle) {
    auto position = Position(handle);
    return position == end() ? nullptr : position->get();
  }

  // Destroys the record at `position`; the others keep their order.
  void erase(iterator position) {
    if (position - begin() < end() - position) {
      position->reset();
      std::move_backward(begin(), position, position + 1);
      ++front_;
    } else {
      slots_.erase(position);
    }
    Settle();
  }
  // Destroys every record and frees the sequence itself.
  void clear() {
    Slots().swap(slots_);
    front_ = 0;
  }

  iterator begin() { return slots_.begin() + static_cast<std::ptrdiff_t>(front_); }
  iterator end() { return slots_.end(); }
  size_t size() const { return slots_.size() - front_; }
  bool empty() const { return size() == 0; }

 private:
  // Below this many slots the sequence is too small to be worth reallocating.
  static constexpr size_t kKeptCapacity = 256;

  // Closes up the empty front once it outnumbers the records, which makes each removal pay for
  // about one pointer moved; and once a burst of records has gone, gives the memory back.
  // Shrinking only when a quarter is in use leaves room to grow again, so a table that hovers
  // around one size does not reallocate back and forth. Keeping the memory is harmless when a
  // smaller block can't be had.
  void Settle() {
    if (front_ > size() || front_ == slots_.size()) {
      slots_.erase(slots_.begin(), begin());
      front_ = 0;
    }
    if (slots_.capacity() <= kKeptCapacity || slots_.size() >= slots_.capacity() / 4) return;
    try {
      slots_.shrink_to_fit();
    } catch (const std::bad_alloc&) {
    }
  }

  Slots slots_;
  size_t front_ = 0;  // slots_[0, front_) are empty
};
