// OpenLDAP as the directory's controllers are asked through it: its functions, loaded at run time
// where it is installed, its results in Windows' codes, the SASL GSSAPI bind's defaults and the
// ticket cache a bind uses.
#pragma once

#include <ldap.h>

#include <string>

#include "system/host/host.h"

namespace winhost::system::directory {

// libldap's functions, as its header declares them; the library is looked for once.
struct Library {
  decltype(&::ldap_initialize) initialize;
  decltype(&::ldap_set_option) setOption;
  decltype(&::ldap_sasl_interactive_bind_s) bind;
  decltype(&::ldap_search_ext_s) search;
  decltype(&::ldap_first_entry) firstEntry;
  decltype(&::ldap_get_dn) getDn;
  decltype(&::ldap_get_values_len) getValues;
  decltype(&::ldap_count_values_len) countValues;
  decltype(&::ldap_value_free_len) freeValues;
  decltype(&::ldap_msgfree) freeMessage;
  decltype(&::ldap_memfree) freeMemory;
  decltype(&::ldap_unbind_ext_s) unbind;
};

// The library's functions; null where it is not installed or lacks one.
const Library* Loaded();

// A connection that failed, or a controller that did not answer: worth another connection.
bool ConnectionLost(int result);
// Windows' code for an LDAP result.
DWORD ErrorOf(int result);
// The SASL mechanism's questions with their default answers: the authorisation identity is the
// ticket's own.
int Interact(LDAP*, unsigned, void*, void* prompts);

// GSSAPI's ticket cache for the calling thread only, for the scope: the SASL module asks GSSAPI for
// the default credential, which this makes the service's. At the end the thread has no cache of
// its own again. What MIT hands back as the "previous" name is the cache in effect (the one
// KRB5CCNAME names at that moment), not a setting of the thread's; putting that back would pin the
// thread to it, and a client context made later on the thread would ignore KRB5CCNAME. Nothing
// else in the library gives a thread a cache of its own.
class ThreadCache {
 public:
  explicit ThreadCache(const std::string& name);
  ~ThreadCache();
  ThreadCache(const ThreadCache&) = delete;
  ThreadCache& operator=(const ThreadCache&) = delete;

 private:
  bool set_ = false;
};

}  // namespace winhost::system::directory
