// OpenLDAP loaded at run time (see ldap_library.h).
#include "system/directory/ldap_library.h"

#include <dlfcn.h>
#include <gssapi/gssapi_krb5.h>
#include <sasl/sasl.h>

#include <cstring>

#include "system/directory/run_time_library.h"
#include "system/host/names.h"

namespace winhost::system::directory {

const Library* Loaded() {
  static const Library* loaded = []() -> const Library* {
    void* library = nullptr;
    for (const char* soname : {"libldap.so.2", "libldap-2.5.so.0", "libldap_r-2.4.so.2"})
      if ((library = dlopen(soname, RTLD_NOW | RTLD_LOCAL)) != nullptr) break;
    if (library == nullptr) return nullptr;
    auto* functions = new Library();
    const bool complete =
        BindFunction(library, "ldap_initialize", functions->initialize) && BindFunction(library, "ldap_set_option", functions->setOption) &&
        BindFunction(library, "ldap_sasl_interactive_bind_s", functions->bind) &&
        BindFunction(library, "ldap_search_ext_s", functions->search) && BindFunction(library, "ldap_first_entry", functions->firstEntry) &&
        BindFunction(library, "ldap_get_dn", functions->getDn) && BindFunction(library, "ldap_get_values_len", functions->getValues) &&
        BindFunction(library, "ldap_count_values_len", functions->countValues) &&
        BindFunction(library, "ldap_value_free_len", functions->freeValues) && BindFunction(library, "ldap_msgfree", functions->freeMessage) &&
        BindFunction(library, "ldap_memfree", functions->freeMemory) && BindFunction(library, "ldap_unbind_ext_s", functions->unbind);
    if (!complete) {
      delete functions;
      dlclose(library);
      return nullptr;
    }
    return functions;
  }();
  return loaded;
}

bool ConnectionLost(int result) {
  return result == LDAP_SERVER_DOWN || result == LDAP_CONNECT_ERROR || result == LDAP_TIMEOUT ||
         result == LDAP_UNAVAILABLE || result == LDAP_BUSY;
}

DWORD ErrorOf(int result) {
  switch (result) {
    case LDAP_SUCCESS: return ERROR_SUCCESS;
    case LDAP_NO_SUCH_OBJECT: return ERROR_NONE_MAPPED;
    case LDAP_NO_MEMORY: return ERROR_NOT_ENOUGH_MEMORY;
    default: return RPC_S_SERVER_UNAVAILABLE;
  }
}

int Interact(LDAP*, unsigned, void*, void* prompts) {
  for (auto* prompt = static_cast<sasl_interact_t*>(prompts); prompt != nullptr && prompt->id != SASL_CB_LIST_END;
       ++prompt) {
    const char* answer = prompt->defresult != nullptr ? prompt->defresult : "";
    prompt->result = answer;
    prompt->len = static_cast<unsigned>(std::strlen(answer));
  }
  return LDAP_SUCCESS;
}

ThreadCache::ThreadCache(const std::string& name) {
  OM_uint32 minor = 0;
  set_ = !GSS_ERROR(gss_krb5_ccache_name(&minor, name.c_str(), nullptr));
}

ThreadCache::~ThreadCache() {
  OM_uint32 minor = 0;
  if (set_) gss_krb5_ccache_name(&minor, nullptr, nullptr);
}

}  // namespace winhost::system::directory
