#include "harness/jvm/hooks.h"

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>

#include "harness/jvm/harness.h"

namespace hooks {

void* Find(const char* name) {
  jvm::PackageClass("SSPI");  // makes sure the JVM has loaded the library
  const char* directory = std::getenv("QUENTREL_TEST_LIBRARY_PATH");
  std::string path = std::string(directory ? directory : ".") + "/libquentrel.so";
  void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
  void* symbol = library ? dlsym(library, name) : nullptr;
  if (symbol == nullptr) {
    std::fprintf(stderr, "test hook %s not found in %s\n", name, path.c_str());
    std::abort();
  }
  return symbol;
}

}  // namespace hooks
