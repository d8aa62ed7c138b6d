// The system world behind the Windows functions: each function of the world interface in terms of
// the machine's own services. NSS, the resolver, krb5 and the registry store may wait, so the
// world lock is let go meanwhile.
#include <cerrno>
#include <mutex>
#include <optional>

#include "common/world.h"
#include "system/directory/accounts.h"
#include "system/directory/domain_controller.h"
#include "system/host/folders.h"
#include "system/kerberos/gss_host.h"
#include "system/host/names.h"
#include "system/directory/pac_account.h"
#include "system/directory/user_flags.h"
#include "system/kerberos/principals.h"
#include "system/registry/registry_store.h"
#include "system/host/thread_identity.h"

namespace winhost {
namespace system {
namespace {

// What the token of a system-world account says: its SID, groups and Unix identity.
TokenData SystemTokenData(const directory::SystemAccount& account) {
  TokenData data;
  data.account = Narrow(account.QualifiedName());
  data.user = account.sid;
  data.groups = account.groups;
  data.identity = account.identity;
  return data;
}

// Who a thread acts as for a client of no account: "nobody", who may read only what all may. Its
// usual ids, where NSS does not say.
UnixIdentity NobodyIds() { return UnixIdentity{65534, 65534, {65534}}; }

// Nobody's identity as NSS gives it, looked up once and kept. NSS may ask winbind, which may wait
// on a controller and whose own lock is held across its calls: never asked with the world lock
// held, which an impersonation holds.
UnixIdentity NobodyIdentity() {
  static std::mutex* lock = new std::mutex();
  static std::optional<UnixIdentity>* kept = new std::optional<UnixIdentity>();
  std::lock_guard<std::mutex> guard(*lock);
  if (!*kept) {
    directory::SystemAccount nobody;
    const bool found = directory::SystemAccountNamed("nobody", nobody) == ERROR_SUCCESS && nobody.identity;
    *kept = found ? *nobody.identity : NobodyIds();
  }
  return **kept;
}

}  // namespace
}  // namespace system

using namespace system;

// ---- names and the domain check --------------------------------------------------------------

DWORD world::ComputerName(WorldLock& lock, COMPUTER_NAME_FORMAT format, std::string& name) {
  lock.unlock();  // the resolver may take its time
  return host::SystemComputerName(format, name);
}

DWORD world::DomainController(WorldLock& lock, LPCWSTR domain, std::string& controller) {
  lock.unlock();  // DNS may take its time
  return directory::SystemFindDomainController(domain ? Narrow(domain) : "", controller);
}

DWORD world::UserAccount(WorldLock& lock, LPCWSTR server, const std::u16string& user, std::u16string& name,
                         DWORD& flags) {
  const std::string controller = server ? Narrow(server) : "";
  lock.unlock();  // the directory may take its time
  return directory::SystemUserFlags(controller, user, name, flags);
}

// ---- security packages ---------------------------------------------------------------------

std::string world::CredentialPackage(const CredHandle* credential) {
  const kerberos::Credential* found = kerberos::FindCredential(credential);
  return found ? found->mechanism->package : "?";
}

std::string world::CredentialUse(const CredHandle* credential) {
  const kerberos::Credential* found = kerberos::FindCredential(credential);
  return found ? std::to_string(found->use) : "?";
}

SECURITY_STATUS world::AcquireCredentials(WorldLock& lock, LPWSTR package, ULONG use, PCredHandle credential,
                                          PTimeStamp expiry) {
  return kerberos::AcquireCredentials(lock, Narrow(package), use, credential, expiry);
}

SECURITY_STATUS world::AcquirePasswordCredentials(WorldLock& lock, LPWSTR package,
                                                  const SEC_WINNT_AUTH_IDENTITY_W& identity, PCredHandle credential,
                                                  PTimeStamp expiry) {
  return kerberos::AcquirePasswordCredentials(lock, Narrow(package), identity, credential, expiry);
}

SECURITY_STATUS world::CredentialAttribute(WorldLock& lock, PCredHandle credential, ULONG attribute, void* buffer) {
  return kerberos::CredentialName(lock, credential, attribute, buffer);
}

SECURITY_STATUS world::FreeCredentials(PCredHandle credential) { return kerberos::FreeCredentials(credential); }

SECURITY_STATUS world::InitializeContext(WorldLock& lock, PCredHandle credential, PCtxtHandle context,
                                         SEC_WCHAR* target, ULONG requested, PSecBufferDesc input,
                                         PCtxtHandle newContext, PSecBufferDesc output, PULONG attributes,
                                         PTimeStamp expiry) {
  return kerberos::InitializeContext(lock, credential, context, target, requested, input, newContext, output, attributes,
                                expiry);
}

SECURITY_STATUS world::AcceptContext(WorldLock& lock, PCredHandle credential, PCtxtHandle context,
                                     PSecBufferDesc input, ULONG requested, PCtxtHandle newContext,
                                     PSecBufferDesc output, PULONG attributes, PTimeStamp expiry) {
  return kerberos::AcceptContext(lock, credential, context, input, requested, newContext, output, attributes, expiry);
}

// GSSAPI's exchanges never ask for a token to be completed.
SECURITY_STATUS world::CompleteToken(PCtxtHandle context, PSecBufferDesc) {
  return kerberos::FindContext(context) == nullptr ? SEC_E_INVALID_HANDLE : SEC_E_OUT_OF_SEQUENCE;
}

SECURITY_STATUS world::ContextAttribute(PCtxtHandle context, ULONG attribute, void* buffer) {
  return kerberos::QueryAttribute(context, attribute, buffer);
}

SECURITY_STATUS world::RevertContext(PCtxtHandle context) {
  if (kerberos::FindContext(context) == nullptr) return SEC_E_INVALID_HANDLE;
  return RevertThread() ? SEC_E_OK : SEC_E_INTERNAL_ERROR;
}

SECURITY_STATUS world::DeleteContext(WorldLock& lock, PCtxtHandle context) {
  return kerberos::DeleteContext(lock, context);
}

SECURITY_STATUS world::Encrypt(WorldLock& lock, PCtxtHandle context, ULONG qop, PSecBufferDesc message) {
  return kerberos::Encrypt(lock, context, qop, message);
}

SECURITY_STATUS world::Decrypt(WorldLock& lock, PCtxtHandle context, PSecBufferDesc message, PULONG qop) {
  return kerberos::Decrypt(lock, context, message, qop);
}

// ---- tokens and identity -------------------------------------------------------------------

// The token of a server context's client. A client whose PAC was verified has the token its PAC
// gives; any other, the account its principal maps to by krb5's auth_to_local rules, or a token of
// Everyone and Authenticated Users for a principal that maps to none or to a system account the
// site has not allowed (see system/kerberos/principals.h). NSS may wait: the world lock is let go
// meanwhile. Made once for a context, on its first request: each group test and impersonation
// asks for it again.
SECURITY_STATUS world::ContextToken(WorldLock& lock, PCtxtHandle context, HANDLE* token) {
  kerberos::Context* found = kerberos::FindContext(context);
  if (found == nullptr || token == nullptr) return SEC_E_INVALID_HANDLE;
  if (found->client || !found->established || found->clientPrincipal.empty()) return SEC_E_NO_IMPERSONATION;
  if (found->clientToken) {
    *token = NewTokenHandle(std::static_pointer_cast<const TokenObject>(found->clientToken), "context");
    return SEC_E_OK;
  }
  // Named when the server admitted its client; the account asked of krb5's rules in memory, which
  // a thread acting as the client can ask too.
  const std::u16string client = found->clientName;
  const std::shared_ptr<const kerberos::LogonInfo> logon = found->logon;
  const std::string realm = logon ? kerberos::RealmOf(found->clientPrincipal) : std::string();
  const std::optional<std::string> local = kerberos::ClientAccount(*found);
  const uint32_t level = (found->attributes & ASC_RET_DELEGATE) != 0 ? SecurityDelegation : SecurityImpersonation;
  std::shared_ptr<LogonCredentials> delegated = found->delegation;
  lock.unlock();
  directory::SystemAccount account;
  DWORD error = logon  ? directory::SystemPacAccount(*logon, realm, local, account)
                : local ? directory::SystemAccountNamed(*local, account)
                        : static_cast<DWORD>(ERROR_NONE_MAPPED);
  // A system account is no client's identity unless the site allows it: a client of no PAC then
  // has no account at all, one of a PAC keeps the domain's SIDs and groups but is acted as nobody.
  if (error == ERROR_SUCCESS && account.identity) {
    const std::string unixName = local ? *local : Narrow(account.name);
    if (!kerberos::MayBeClientAccount(unixName, account.identity->uid)) {
      if (logon) {
        account.identity.reset();
      } else {
        error = ERROR_NONE_MAPPED;
      }
    }
  }
  if (error == ERROR_SUCCESS && !logon && !account.identity) error = ERROR_NONE_MAPPED;
  if (error == ERROR_NONE_MAPPED) {
    const size_t slash = client.find(u'\\');
    account = slash == std::u16string::npos ? directory::SystemUnmappedAccount(u"", client)
                                            : directory::SystemUnmappedAccount(client.substr(0, slash), client.substr(slash + 1));
    error = ERROR_SUCCESS;
  }
  // A client of no account of this machine is acted as nobody, known before the lock is taken.
  if (error == ERROR_SUCCESS && !account.identity) account.identity = NobodyIdentity();
  lock.lock();
  if (error != ERROR_SUCCESS) return SEC_E_INTERNAL_ERROR;
  TokenData data = SystemTokenData(account);
  data.account = Narrow(client);
  data.level = level;
  data.credentials = std::move(delegated);
  if (logon) data.accountControl = logon->userAccountControl;
  TokenRef made = std::make_shared<const TokenObject>(TokenObject{data, std::nullopt});
  // Another thread may have freed the context while the lock was let go.
  if (kerberos::Context* still = kerberos::FindContext(context)) still->clientToken = made;
  *token = NewTokenHandle(std::move(made), "context");
  return SEC_E_OK;
}

void world::EnterThread() { host::SettleThreadIdentity(); }

// The thread acts as the account, and only where the process may let it.
DWORD world::Impersonate(const TokenObject& token) {
  // Every token a server context gives has an identity; nobody's ids, for any other, need no lookup.
  const int error = host::ActAs(token.data.identity ? *token.data.identity : NobodyIds());
  if (error == 0) return ERROR_SUCCESS;
  return error == EPERM ? ERROR_PRIVILEGE_NOT_HELD : ERROR_ACCESS_DENIED;
}

bool world::RevertThread() {
  if (host::ActAsSelf() != 0) return false;
  ThreadToken().reset();
  return true;
}

// Without a token Windows asks the thread's impersonation token, else the process's own: the real
// account's here.
TokenRef world::DefaultToken(WorldLock& lock) {
  if (ThreadToken()) return ThreadToken();
  lock.unlock();  // NSS names the process's ids and groups
  return std::make_shared<const TokenObject>(TokenObject{SystemTokenData(directory::SystemProcessAccount()), std::nullopt});
}

// ---- accounts and Authz --------------------------------------------------------------------

DWORD world::LookupName(WorldLock& lock, const std::u16string& name, Resolved& found) {
  lock.unlock();  // NSS may wait on a directory service
  directory::SystemAccount account;
  if (DWORD error = directory::SystemResolveName(name, account); error != ERROR_SUCCESS) return error;
  found = Resolved{account.sid, account.domain, account.name, account.use};
  return ERROR_SUCCESS;
}

DWORD world::LookupSid(WorldLock& lock, const SidBytes& sid, Resolved& found) {
  lock.unlock();
  directory::SystemAccount account;
  if (DWORD error = directory::SystemResolveSid(sid, account); error != ERROR_SUCCESS) return error;
  found = Resolved{account.sid, account.domain, account.name, account.use};
  return ERROR_SUCCESS;
}

// The account's groups as NSS gives them now.
DWORD world::ContextGroups(WorldLock& lock, const SidBytes& user, std::vector<GroupEntry>& groups) {
  lock.unlock();
  directory::SystemAccount account;
  DWORD error = directory::SystemUserOfSid(user, account);
  lock.lock();
  if (error != ERROR_SUCCESS) return error;
  groups = std::move(account.groups);
  return ERROR_SUCCESS;
}

// ---- registry: the store is read and written without the world lock, so a process waiting for
// another one's lock holds up no other call of this host ---------------------------------------

std::string world::KeyText(const common::OpenKey& open) { return Narrow(open.path); }

LONG world::OpenKey(WorldLock& lock, const common::OpenKey* base, const std::u16string& path, std::u16string& found) {
  std::u16string stored = path;
  if (base != nullptr) {
    stored = base->path;
    if (!path.empty()) stored += (stored.empty() ? u"" : u"\\") + path;
  }
  lock.unlock();
  LONG status = registry::FindKey(stored, found);
  lock.lock();
  return status;
}

LONG world::QueryValue(WorldLock& lock, const common::OpenKey& key, const std::u16string& name, LPDWORD reserved,
                       LPDWORD type, LPBYTE data, LPDWORD dataSize) {
  if (reserved != nullptr || (data != nullptr && dataSize == nullptr)) return ERROR_INVALID_PARAMETER;
  const std::u16string path = key.path;
  lock.unlock();
  RegistryValue value;
  if (LONG status = registry::ReadValue(path, name, value); status != ERROR_SUCCESS) return status;
  return CopyValue(value, type, data, dataSize);
}

LONG world::SetValue(WorldLock& lock, const common::OpenKey& key, const std::u16string& name, DWORD reserved,
                     DWORD type, const BYTE* data, DWORD dataSize) {
  if (reserved != 0) return ERROR_INVALID_PARAMETER;
  if (data == nullptr && dataSize != 0) return ERROR_NOACCESS;
  const std::u16string path = key.path;
  RegistryValue value{type, std::vector<uint8_t>(data, data + dataSize)};
  lock.unlock();
  return registry::WriteValue(path, name, value);
}

// ---- folders -------------------------------------------------------------------------------

std::string world::CommonAppDataFolder() {
  if (CommonAppDataSetting()) return *CommonAppDataSetting();
  return host::CommonAppDataFolder();
}

bool world::MakeCommonAppDataFolder(const std::string& path) { return MakeDirectories(path); }

}  // namespace winhost
