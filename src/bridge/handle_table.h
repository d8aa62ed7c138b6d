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
// Records never move: the sequence holds pointers, so removing one moves pointers, not records.
// The pointers are shared: an operation copies its record's pointer under the family's lock and
// works on the record after leaving that lock, so a record outlives its removal from the table
// for as long as an operation still holds it. Removing a record moves
// only the pointers on its shorter side: the ones in front of it step back into its place and leave
// an empty slot at the front, which later removals reuse until the empty slots outnumber the
// records and are closed up in one move. So freeing the oldest of many contexts costs what freeing
// the newest does, and the pointers stay in one block, which a binary search reads fastest.
#pragma once

#include <jni.h>

#include <algorithm>
#include <cstddef>
#include <functional>
#include <limits>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "bridge/entry.h"
#include "bridge/platform.h"

// The lock of one record, held across every operation on it (its platform calls included), so that
// operations on one record run one after another while different records are worked on at once.
// Not recursive. It needs no set-up or tear-down, so a record may be made and destroyed anywhere.
class RecordLock {
 public:
  RecordLock() { InitializeSRWLock(&lock_); }
  RecordLock(const RecordLock&) = delete;
  RecordLock& operator=(const RecordLock&) = delete;
  void lock() { AcquireSRWLockExclusive(&lock_); }
  void unlock() { ReleaseSRWLockExclusive(&lock_); }

 private:
  SRWLOCK lock_;
};

// A record held for one operation: its own lock taken, no family lock held. Made from the pointer
// the table shared; when the record was released before the lock came free (freed by another
// thread, or its creation abandoned), it holds nothing and reads as "no such record", exactly as
// if the lookup had come after the removal. A Record has a `RecordLock lock` and a `bool released`
// that only its lock's holder reads or writes.
template <typename Record>
class HeldRecord {
 public:
  HeldRecord() = default;
  // Waits for an operation in flight on the record. Never call it holding a family lock.
  explicit HeldRecord(std::shared_ptr<Record> record) : record_(std::move(record)) {
    if (!record_) return;
    record_->lock.lock();
    if (record_->released) Reset();
  }
  ~HeldRecord() { Reset(); }
  HeldRecord(HeldRecord&& other) noexcept : record_(std::move(other.record_)) {}
  HeldRecord& operator=(HeldRecord&& other) noexcept {
    if (this != &other) {
      Reset();
      record_ = std::move(other.record_);
    }
    return *this;
  }
  HeldRecord(const HeldRecord&) = delete;
  HeldRecord& operator=(const HeldRecord&) = delete;

  Record* get() const { return record_.get(); }
  Record* operator->() const { return record_.get(); }
  Record& operator*() const { return *record_; }
  explicit operator bool() const { return record_ != nullptr; }

  // Lets the record go now.
  void Reset() {
    if (!record_) return;
    record_->lock.unlock();
    record_.reset();
  }

 private:
  std::shared_ptr<Record> record_;
};

template <typename Record>
class HandleTable {
 public:
  using Slots = std::vector<std::shared_ptr<Record>>;
  using iterator = typename Slots::iterator;

  // Appends a new record with every field at its default; the caller gives it the next handle
  // before the table is searched again.
  Record& emplace_back() {
    slots_.push_back(std::make_shared<Record>());
    return *slots_.back();
  }
  // Appends a record made beforehand, whose handle is already the next one.
  void push_back(std::shared_ptr<Record> record) { slots_.push_back(std::move(record)); }
  Record& back() { return *slots_.back(); }
  void pop_back() {
    slots_.pop_back();
    Settle();
  }

  // The position of the record whose handle equals `handle`, or end().
  iterator Position(jint handle) {
    auto position = std::lower_bound(begin(), end(), handle,
                                     [](const std::shared_ptr<Record>& record, jint wanted) { return record->handle < wanted; });
    return position != end() && (*position)->handle == handle ? position : end();
  }
  Record* Find(jint handle) {
    auto position = Position(handle);
    return position == end() ? nullptr : position->get();
  }
  // The record with `handle`, shared with the caller, who holds it past the table's lock; null when
  // there is none.
  std::shared_ptr<Record> Share(jint handle) {
    auto position = Position(handle);
    return position == end() ? nullptr : *position;
  }
  // Takes the record with `handle` off the table and hands it to the caller; null when there is none.
  std::shared_ptr<Record> Take(jint handle) {
    auto position = Position(handle);
    if (position == end()) return nullptr;
    std::shared_ptr<Record> record = std::move(*position);
    erase(position);
    return record;
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

// The record a creation builds, and everything it holds until the creation commits. It is on its
// family's table from the start, with its handle issued and its own lock held, so that handles are
// taken in order and a call that names it meanwhile waits for the outcome. A creation that does
// not commit lets go of what the record holds, marks it released and takes it off the table again,
// on every path, a native exception's included. The handle issued stays used.
template <typename Record>
class NewRecord {
 public:
  // What an abandoned record lets go of; it runs with the record's lock held and must not throw.
  using Release = std::function<void(Record&)>;

  NewRecord(CRITICAL_SECTION& familyLock, HandleTable<Record>& table, jint& lastHandle, Release release)
      : familyLock_(familyLock), table_(table), lastHandle_(lastHandle), release_(std::move(release)) {}
  ~NewRecord() {
    if (record_ && !committed_) Abandon();
  }
  NewRecord(const NewRecord&) = delete;
  NewRecord& operator=(const NewRecord&) = delete;

  // Puts `record` on the table under the next handle. False, with nothing put, when every handle
  // has been used: the counter never wraps onto handles already handed out.
  bool Open(std::shared_ptr<Record> record) {
    LockGuard lock(familyLock_);
    if (lastHandle_ == std::numeric_limits<jint>::max()) return false;
    record->handle = lastHandle_ + 1;
    table_.push_back(record);
    ++lastHandle_;
    // Nobody else has it yet, so this cannot wait, and from here on a lookup waits for us.
    record->lock.lock();
    record_ = std::move(record);
    return true;
  }

  Record& operator*() const { return *record_; }
  Record* operator->() const { return record_.get(); }

  // The record is complete: it stays, and other calls may have it.
  jint Commit() {
    committed_ = true;
    const jint handle = record_->handle;
    record_->lock.unlock();
    record_.reset();
    return handle;
  }

 private:
  void Abandon() noexcept {
    release_(*record_);
    record_->released = true;
    record_->lock.unlock();
    LockGuard lock(familyLock_);
    // Gone already when another thread freed the handle meanwhile; it then released nothing.
    table_.Take(record_->handle);
  }

  CRITICAL_SECTION& familyLock_;
  HandleTable<Record>& table_;
  jint& lastHandle_;
  Release release_;
  std::shared_ptr<Record> record_;
  bool committed_ = false;
};
