// Control interface of the stand-in Windows host, for tests and tools. The library never includes it,
// and the shipped host has none of it: only the hosts the tests run on define these functions.
//
// Everything here acts on the one process-wide host that the library also calls into, so a test
// can set the world up, make a named Windows function fail, script a security package's answers,
// read back the calls the library made, and see which handles are still held.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "winhost/journal.h"

namespace winhost {

// ---- the world -------------------------------------------------------------------------------

// Which services stand behind the Windows functions: the machine's own (NSS accounts, a SQLite
// registry, the resolver, GSSAPI), or the in-memory simulated host that tests set up at will. A
// host library carries exactly one world, chosen when it is linked. Faults, the journal and the
// live counts work the same in both.
enum class World { System, Simulated };
World CurrentWorld();

// Puts the whole host back to its default world: names, accounts, packages, registry, faults,
// scripts and the journal. Objects the library still holds stay valid and stay counted.
void Reset();

struct ComputerNames {
  std::string netbios;     // "WINHOST"
  std::string dnsHost;     // "winhost"
  std::string dnsDomain;   // "example.test"; empty when the computer has no DNS suffix
};
ComputerNames GetComputerNames();
void SetComputerNames(const ComputerNames& names);

// The account the process runs as, in the local account domain named after the computer.
std::string ProcessUserName();                 // "appuser"
std::string ProcessUserQualifiedName();        // "WINHOST\appuser"

// ---- faults ----------------------------------------------------------------------------------

// Makes the named function fail with `code` (an SSPI status for the security functions, a Windows
// error code for the others, returned or set as the last error as the function does on Windows).
// The system world's own calls are fault points too, each answering in its own terms: an errno for
// getpwnam_r and its kin, an EAI_ code for getaddrinfo, a SQLite result for sqlite3_*, a major
// status for gss_*.
// The first `skip` calls go through untouched; then the call fails once, or for good when
// `persistent` is set.
void Fail(const std::string& function, uint32_t code, int skip = 0, bool persistent = false);
void ClearFaults();

// ---- the journal -----------------------------------------------------------------------------

std::vector<Call> Journal();
std::vector<Call> JournalOf(const std::string& function);
std::vector<std::string> JournalFunctions();  // just the names, in order
void ClearJournal();

// ---- what is still held ----------------------------------------------------------------------

// Counts of live objects by kind: "credential", "context", "buffer" (FreeContextBuffer memory),
// and the kinds the other areas add ("token", "sid", "local", "authz-context",
// "resource-manager", "key", "net-buffer").
int LiveCount(const std::string& kind);
std::map<std::string, int> LiveCounts();  // only the kinds with a non-zero count

// ---- security packages -----------------------------------------------------------------------

struct Sizes {
  uint32_t maxToken;
  uint32_t maxSignature;
  uint32_t blockSize;
  uint32_t securityTrailer;
};

// One scripted answer of InitializeSecurityContextW or AcceptSecurityContext. The call does its
// ordinary work, then answers with what is set here instead of its own result.
struct StepScript {
  int32_t status = 0;
  std::optional<std::vector<uint8_t>> token;  // replaces the output token (any length)
  std::optional<uint32_t> attributes;         // replaces the context attributes written
};
// `function` is "InitializeSecurityContextW" or "AcceptSecurityContext"; scripts are used in order.
void ScriptStep(const std::string& function, const StepScript& script);

// Per-package settings; they last until Reset.
void SetPackageSizes(const std::string& package, const Sizes& sizes);
Sizes GetPackageSizes(const std::string& package);
void SetCredentialUserName(const std::string& package, const std::string& userName);
// How long a context of the package lasts from its establishment (SECPKG_ATTR_LIFESPAN), as the
// ticket a real package's context rests on; ten hours, a domain's default, until set.
void SetContextLifetime(const std::string& package, long long seconds);
// Package information of SECPKG_ATTR_PACKAGE_INFO; a null comment when `comment` is empty.
void SetPackageComment(const std::string& package, std::optional<std::string> comment);

// The system world's GSSAPI context (a gss_ctx_id_t) behind an SSPI context handle, given as the
// handle's dwLower and dwUpper, so that a benchmark or a test can call GSSAPI itself on the very
// context the library holds. Null when the handle names no context of the system world, or one
// still without its GSSAPI context; valid until the handle is deleted.
void* GssContextOf(uintptr_t lower, uintptr_t upper);

// UTF-8 <-> UTF-16 helpers for tests.
std::u16string Wide(const std::string& utf8);
std::string Narrow(const std::u16string& utf16);

}  // namespace winhost
