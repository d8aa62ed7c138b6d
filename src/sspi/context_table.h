// The table of security contexts: its records, the lock that guards it, handle issue, lookup,
// the message sizes of an established context and the release of a context's SSPI resources.
//
// LibraryLock guards the table alone: finding, adding and removing records and numbering them. An
// operation holds it only to find its record, then works under the record's own lock, across the
// package's calls, which may wait on a KDC, a replay cache or a directory. So one client's slow
// step holds up that client's context only, and sign-ons run on every core.
#pragma once

#include <jni.h>

#include <cstdint>
#include <initializer_list>
#include <vector>

#include "bridge/handle_table.h"
#include "bridge/jni_bridge.h"
#include "bridge/platform.h"
#include "bridge/thread_impersonation.h"

enum ContextState : int32_t {
  kStateInitial = 0,
  kStateNegotiating = 1,
  kStateSuccess = 2,
  kStateError = 3,
};

// Capacity of every output token buffer handed to the package.
constexpr ULONG TokenBufferSize = 12288;

struct SecurityContextRecord {
  jint handle = 0;
  // Held across every operation on the context; guards every field below.
  RecordLock lock;
  // Set once the context is freed or its creation abandoned: an operation that was waiting for the
  // lock then finds no record.
  bool released = false;
  ContextState state = kStateInitial;
  // The SSPI handles live in heap blocks of their own, which the platform may keep pointers to.
  // Only ReleaseContextResources (or a failed creation) frees them.
  CredHandle* credential = nullptr;
  CtxtHandle* context = nullptr;
  ULONG negotiatedAttributes = 0;
  ULONG requestedAttributes = 0;
  WideString targetName;
  bool isKerberos = false;
  bool isClient = false;
  bool impersonating = false;
  // While impersonating: the record of that impersonation, which knows its thread.
  ThreadImpersonation* impersonation = nullptr;
  std::vector<uint8_t> outputToken;
  // A SEC_CHANNEL_BINDINGS block that every step of the context hands the package, binding the
  // exchange to the channel it runs over; empty for a context bound to none.
  std::vector<uint8_t> channelBindings;
  std::vector<uint8_t> trailerBuffer;
  std::vector<uint8_t> blockBuffer;
  SecPkgContext_Sizes sizes = {0, 0, 0, 0};
};

// Guards SecurityContextTable and LastContextHandle; never held while waiting for a record's lock.
extern CRITICAL_SECTION LibraryLock;
// In creation order, so in order of handle. The table lives on the heap and is emptied by
// DiscardSecurityContexts at unload rather than by a static destructor, whose order against the
// unload notification no platform promises.
using ContextTable = HandleTable<SecurityContextRecord>;
extern ContextTable& SecurityContextTable;
// The most recently issued handle; set to 1 at load, so the first handle is 2.
extern jint LastContextHandle;

// A context held for one operation, its own lock taken.
using HeldContext = HeldRecord<SecurityContextRecord>;

// The record whose handle equals `handle`, or null. Requires LibraryLock; the pointer is valid
// until the record is removed. For tests and benchmarks, which make no concurrent calls.
SecurityContextRecord* FindSecurityContext(jint handle);

// The context with `handle`, held; empty with "Invalid handle" pending when there is none. Takes
// LibraryLock only for the lookup, then waits for the operation in flight on that context, if any.
HeldContext HoldSecurityContextOrThrow(JNIEnv* env, jint handle);

// Which side of the exchange an operation serves.
enum class ContextSide { Either, Client, Server };

// The context an entry point may work on, held: empty with "Invalid handle", "Wrong context type"
// or "Invalid state" pending, tested in that order. `states` are the states the operation accepts.
HeldContext HoldSecurityContextFor(JNIEnv* env, jint handle, ContextSide side,
                                   std::initializer_list<ContextState> states);

// Asks the package for the sizes of an established context and sizes the two scratch buffers of
// message protection. On failure the platform error is pending and the record is unchanged.
bool QueryContextSizes(SecurityContextRecord& record, JNIEnv* env);

// Ends an impersonating server context's impersonation, deletes the context, frees the credentials
// and the two handle blocks. The statuses of the releases are ignored. Requires the record's lock.
// Only a thread that impersonates through the context itself is reverted here; another thread that
// does returns to its own identity at its next call into the library, and the caller's identity is
// left as it is. Returns SEC_E_OK, or the status of RevertSecurityContext when the calling thread
// impersonated through the context and could not be returned to its own identity at all (it then
// returns at its next call).
SECURITY_STATUS ReleaseContextResources(SecurityContextRecord& record);

// Forgets every record as plain data at unload: no SSPI call is made and the handle blocks are
// left to the process; a thread impersonating through one returns to its own identity at its next
// call into the library.
void DiscardSecurityContexts();
