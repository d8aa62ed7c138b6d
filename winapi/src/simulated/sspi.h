// The simulated security packages: credentials, contexts and their scripted answers. Shared by
// the files that implement the packages.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "common/blocks.h"
#include "common/sspi.h"
#include "simulated/host.h"

namespace winhost::simulated {

// How a package's exchange runs between a client and a server on this host.
enum class Shape {
  ThreeLeg,  // client, server, client: the client ends with SEC_E_OK and its last token
  OneLeg,    // the client's first step is already SEC_E_OK; with mutual authentication the
             // server answers SEC_E_OK with a final token that the client must consume
};

struct Package {
  std::string name;
  Shape shape;
  Sizes sizes;
  std::optional<std::string> comment;
  std::string credentialUser;  // what SECPKG_CRED_ATTR_NAMES reports
  long long lifetime = 10 * 3600;  // seconds a context lasts from its establishment
};

struct Credential {
  std::string package;
  ULONG use;
};

struct Context {
  std::string package;
  bool client = false;
  ULONG_PTR credential = 0;
  int round = 0;             // steps taken so far
  bool established = false;
  bool completePending = false;  // SEC_I_COMPLETE_* answered, CompleteAuthToken not yet called
  bool continueAfterComplete = false;
  std::string target;        // client: the target name it was given
  std::string peerUser;      // server: the authenticated client's qualified name
  ULONG requested = 0;       // client: its ISC_REQ flags; server: the ASC_REQ flags of the last step
  ULONG peerFlags = 0;       // server: the ISC_REQ flags the client's tokens announced
  ULONG attributes = 0;
  std::string challenge;     // three-leg: the server's nonce that the client must answer
  std::vector<uint8_t> key;  // session key shared by the two peers
  uint32_t sendSequence = 0;  // numbers this side's protected messages; never reused under one key
  // The digest of the channel bindings this step was given, as hex; empty when none were.
  std::string bindings;
  long long establishedAt = 0;  // seconds since 1970
};

struct SspiWorld {
  std::map<std::string, Package> packages;
  std::map<ULONG_PTR, Credential> credentials;
  std::map<ULONG_PTR, Context> contexts;
  std::map<std::string, std::deque<StepScript>> scripts;
};

// Requires the world lock.
SspiWorld& Sspi();
const Package* FindPackage(const std::string& name);
Credential* FindCredential(const CredHandle* handle);
Context* FindContext(const CtxtHandle* handle);
std::optional<StepScript> TakeScript(const std::string& function);

// Moves a context to a fresh handle value, as the real packages may do on every round, so that a
// caller holding a stale copy of the handle is found out.
void Renumber(CtxtHandle* handle, ULONG_PTR oldId);

}  // namespace winhost::simulated
