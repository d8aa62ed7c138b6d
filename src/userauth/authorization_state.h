// The process-wide authorization state of the UserAuth family: the two names this computer's
// accounts are qualified with, the family's lock and handle counter, the Authz resource manager,
// and the table of user contexts.
#pragma once

#include <jni.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "bridge/handle_table.h"
#include "bridge/platform.h"

// One user context: an account's SID and referenced domain as the lookup wrote them, its Authz
// client context, and the groups captured with it. The TOKEN_GROUPS block in `groupBytes` holds
// pointers into itself, so a record is never copied or moved: the table holds records by pointer
// and each buffer keeps its address for the record's whole life.
struct UserContextRecord {
  jint handle = 0;
  // Held across every operation on the record, the account lookup that fills it included; guards
  // every field below.
  RecordLock lock;
  // Set once the record is freed or its creation abandoned.
  bool released = false;
  std::vector<uint8_t> sidBytes;
  std::vector<uint8_t> domainNameBytes;  // wide characters, terminator included
  std::vector<uint8_t> groupBytes;
  SID_NAME_USE sidNameUse = static_cast<SID_NAME_USE>(0);
  AUTHZ_CLIENT_CONTEXT_HANDLE authzContext = nullptr;

  UserContextRecord() = default;
  UserContextRecord(const UserContextRecord&) = delete;
  UserContextRecord& operator=(const UserContextRecord&) = delete;

  // Views of the record's own buffers.
  PSID sid() { return sidBytes.data(); }
  const WCHAR* domainName() const { return reinterpret_cast<const WCHAR*>(domainNameBytes.data()); }
  const TOKEN_GROUPS* groups() const { return reinterpret_cast<const TOKEN_GROUPS*>(groupBytes.data()); }
};

// In creation order, so in order of handle.
using UserContextTable = HandleTable<UserContextRecord>;

struct AuthorizationStateRecord {
  // This computer's DNS host name and the built-in domain's name as the system reports it. Written
  // only during set-up, then read without a lock by both families; empty until set-up reached them.
  WideString localComputerName;
  WideString builtinDomainName;
  // Guards LastUserContextHandle and userContexts, and nothing else: an operation holds it only to
  // find, add or remove its record, never across a platform call. Never held together with
  // LibraryLock.
  CRITICAL_SECTION UserAuthLock;
  // The most recently issued user-context handle; 1 after set-up, so the first handle is 2.
  jint LastUserContextHandle = 0;
  AUTHZ_RESOURCE_MANAGER_HANDLE resourceManager = nullptr;
  // True once every set-up step succeeded; read without the lock by the entry points.
  bool initialized = false;
  UserContextTable userContexts;
};

// The one instance. It is never destroyed but emptied by ReleaseAuthorizationState at unload,
// because no platform promises the order of a static destructor against the unload notification;
// and it is made on first use, without allocating, because the load notification may come before
// this file's static initialisers have run.
AuthorizationStateRecord& AuthorizationState();

// Set-up at load: creates UserAuthLock, sets the handle counter to 1, creates the resource manager
// and records the two names. Returns 0, or the Windows error of the first step that failed
// (ERROR_NOT_ENOUGH_MEMORY when a name cannot be copied), after which `initialized` stays false
// for the life of the process. Never throws.
DWORD InitializeAuthorizationState();

// Tear-down at unload: releases every user context still held, then the resource manager, and
// deletes UserAuthLock. Never throws.
void ReleaseAuthorizationState();

// A user context held for one operation, its own lock taken.
using HeldUserContext = HeldRecord<UserContextRecord>;

// The user context with `handle`, held, or empty when there is none. Takes UserAuthLock only for
// the lookup, then waits for the operation in flight on that record, if any.
HeldUserContext HoldUserContext(jint handle);

// Releases a record's Authz client context. Requires the record's lock.
void ReleaseUserContext(UserContextRecord& record);
