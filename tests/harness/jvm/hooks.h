// The test build's hooks into the library's state, looked up in the library the JVM loaded.
#pragma once

#include <string>

namespace hooks {

// The address of `name` in the loaded library; aborts the test program when it is missing.
void* Find(const char* name);

template <typename Function>
Function* Get(const char* name) {
  return reinterpret_cast<Function*>(Find(name));
}

}  // namespace hooks
