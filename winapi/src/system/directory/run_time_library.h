// Libraries the system world uses where the machine has them (winbind's client, OpenLDAP, SSSD's
// SID mapping): loaded with dlopen when first needed, so that none of them is needed to load the
// host, and their functions bound by name.
#pragma once

#include <dlfcn.h>

namespace winhost::system::directory {

// Sets `function` to the library's function of that name; false when it has none.
template <typename Function>
bool BindFunction(void* library, const char* name, Function& function) {
  function = reinterpret_cast<Function>(dlsym(library, name));
  return function != nullptr;
}

}  // namespace winhost::system::directory
