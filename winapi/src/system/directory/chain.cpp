// The directory chain's one order and its walk (see chain.h).
#include "system/directory/chain.h"

namespace winhost::system::directory {
namespace {

template <typename Question>
DWORD Walk(const Question& ask) {
  for (const Directory* directory : {&WinbindDirectory(), &NssDirectory(), &ControllerDirectory()})
    if (const DWORD answer = ask(*directory); answer != ERROR_NO_SUCH_DOMAIN) return answer;
  return ERROR_NO_SUCH_DOMAIN;
}

}  // namespace

DWORD ChainAccountNamed(const std::string& domain, const std::string& name, SystemAccount& account) {
  return Walk([&](const Directory& directory) { return directory.AccountNamed(domain, name, account); });
}

DWORD ChainPrincipalNamed(const std::string& principal, SystemAccount& account) {
  return Walk([&](const Directory& directory) { return directory.PrincipalNamed(principal, account); });
}

DWORD ChainAccountOfSid(const SidBytes& sid, SystemAccount& account) {
  return Walk([&](const Directory& directory) { return directory.AccountOfSid(sid, account); });
}

DWORD ChainUserOfSid(const SidBytes& sid, SystemAccount& account) {
  return Walk([&](const Directory& directory) { return directory.UserOfSid(sid, account); });
}

}  // namespace winhost::system::directory
