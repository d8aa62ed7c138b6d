// The world behind the Windows functions: what the machine's own services (winapi/src/system/)
// and the simulated host the tests set up (winapi/src/simulated/) each implement, one area at a
// time. A host library links exactly one world, so these are plain functions: each Windows
// function of the surface makes its journal entry and fault check, then calls the one here that
// serves it.
//
// A function given the world lock (`lock`, held on entry) may let it go while it waits on the
// machine's services; those after which the surface still needs it (InitializeContext,
// AcceptContext, ContextToken, ContextGroups, OpenKey) hold it again on return. The others run under the lock.
#pragma once

#include <string>
#include <vector>

#include "common/lock.h"
#include "common/registry.h"
#include "common/sids.h"
#include "common/tokens.h"
#include "winhost/host_services.h"
#include "winhost/sspi.h"

namespace winhost::world {

using common::WorldLock;

// ---- names and the domain check --------------------------------------------------------------

// GetComputerNameExW's name for `format`; 0 or the failure's Windows code.
DWORD ComputerName(WorldLock& lock, COMPUTER_NAME_FORMAT format, std::string& name);
// NetGetAnyDCName's controller of `domain` (null: this computer's); NERR_Success or the failure.
DWORD DomainController(WorldLock& lock, LPCWSTR domain, std::string& controller);
// NetUserGetInfo's account `user` at `server` (null or empty: this computer; else a controller of
// a domain): its name as the directory spells it and its UF_* flags. NERR_Success,
// NERR_UserNotFound, or the failure of the directory that should have answered.
DWORD UserAccount(WorldLock& lock, LPCWSTR server, const std::u16string& user, std::u16string& name, DWORD& flags);

// ---- security packages ---------------------------------------------------------------------

// The package and use of a credential handle, for the journal; "?" for a handle that names none.
std::string CredentialPackage(const CredHandle* credential);
std::string CredentialUse(const CredHandle* credential);

// A server's credential may wait on the KDC for the service's own ticket.
SECURITY_STATUS AcquireCredentials(WorldLock& lock, LPWSTR package, ULONG use, PCredHandle credential,
                                   PTimeStamp expiry);
// A client's credential of the user an identity names, checked with its password; the system
// world lets the lock go while the KDC answers.
SECURITY_STATUS AcquirePasswordCredentials(WorldLock& lock, LPWSTR package, const SEC_WINNT_AUTH_IDENTITY_W& identity,
                                           PCredHandle credential, PTimeStamp expiry);
// A credential's name may be read from a ticket cache: the system world lets the world lock go.
SECURITY_STATUS CredentialAttribute(WorldLock& lock, PCredHandle credential, ULONG attribute, void* buffer);
SECURITY_STATUS FreeCredentials(PCredHandle credential);
SECURITY_STATUS InitializeContext(WorldLock& lock, PCredHandle credential, PCtxtHandle context, SEC_WCHAR* target,
                                  ULONG requested, PSecBufferDesc input, PCtxtHandle newContext,
                                  PSecBufferDesc output, PULONG attributes, PTimeStamp expiry);
// A server's first step may wait on a replay cache and reads the client's ticket: the system world
// lets the world lock go meanwhile, so that sign-ons of different clients run at once.
SECURITY_STATUS AcceptContext(WorldLock& lock, PCredHandle credential, PCtxtHandle context, PSecBufferDesc input,
                              ULONG requested,
                              PCtxtHandle newContext, PSecBufferDesc output, PULONG attributes, PTimeStamp expiry);
SECURITY_STATUS CompleteToken(PCtxtHandle context, PSecBufferDesc token);
SECURITY_STATUS ContextAttribute(PCtxtHandle context, ULONG attribute, void* buffer);
// The calling thread stops impersonating, however it started, once the context is known.
SECURITY_STATUS RevertContext(PCtxtHandle context);
// GSSAPI's deletion of a context makes krb5 contexts of its own: the system world lets the world
// lock go while a context it took off its table is freed.
SECURITY_STATUS DeleteContext(WorldLock& lock, PCtxtHandle context);
// A large message's protection takes a while: the system world lets the world lock go meanwhile.
SECURITY_STATUS Encrypt(WorldLock& lock, PCtxtHandle context, ULONG qop, PSecBufferDesc message);
SECURITY_STATUS Decrypt(WorldLock& lock, PCtxtHandle context, PSecBufferDesc message, PULONG qop);

// ---- tokens and identity -------------------------------------------------------------------

// First of every call into the host (the journal's entry, recorded or not): the system world puts
// a thread that was started by one acting as a client back to the process's identity, the first
// time it comes; cheap afterwards. The simulated world has nothing to do.
void EnterThread();

// QuerySecurityContextToken: a token handle of a server context's authenticated client.
SECURITY_STATUS ContextToken(WorldLock& lock, PCtxtHandle context, HANDLE* token);
// Makes the calling thread act as the token's account, as far as the world lets it; 0 or the
// Windows error. The surface then gives the thread the token.
DWORD Impersonate(const common::TokenObject& token);
// Ends the calling thread's impersonation; false when the world would not give the thread its
// own identity back.
bool RevertThread();
// The token CheckTokenMembership asks when given none; null when there is none to ask.
common::TokenRef DefaultToken(WorldLock& lock);

// ---- accounts and Authz --------------------------------------------------------------------

// LookupAccountNameW's and LookupAccountSidW's resolutions; 0, ERROR_NONE_MAPPED or the failure.
DWORD LookupName(WorldLock& lock, const std::u16string& name, common::Resolved& found);
DWORD LookupSid(WorldLock& lock, const common::SidBytes& sid, common::Resolved& found);
// The groups an Authz client context of `user` carries; 0 or the failure (ERROR_NO_SUCH_USER for a
// SID that names no user).
DWORD ContextGroups(WorldLock& lock, const common::SidBytes& user, std::vector<common::GroupEntry>& groups);

// ---- registry ------------------------------------------------------------------------------

// The key an open handle names, for the journal.
std::string KeyText(const common::OpenKey& open);
// Finds the key at `path` (stored, under `base` or the root when `base` is null): 0 with the path
// as the world keeps it, ERROR_FILE_NOT_FOUND, ERROR_KEY_DELETED or the failure.
LONG OpenKey(WorldLock& lock, const common::OpenKey* base, const std::u16string& path, std::u16string& found);
LONG QueryValue(WorldLock& lock, const common::OpenKey& key, const std::u16string& name, LPDWORD reserved, LPDWORD type,
                LPBYTE data, LPDWORD dataSize);
LONG SetValue(WorldLock& lock, const common::OpenKey& key, const std::u16string& name, DWORD reserved, DWORD type,
              const BYTE* data, DWORD dataSize);

// ---- folders -------------------------------------------------------------------------------

// The common application data folder (a test's setting first); empty answers an empty buffer.
std::string CommonAppDataFolder();
// Makes it when missing; false with errno set.
bool MakeCommonAppDataFolder(const std::string& path);

}  // namespace winhost::world
