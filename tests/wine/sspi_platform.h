// What the platform's own SSPI answers, asked by the test program, for the SSPI groups.
#pragma once

#define SECURITY_WIN32
#include <windows.h>
#include <security.h>
#include <sspi.h>

#include <jni.h>

#include <cstdint>
#include <string>
#include <vector>

// The shapes of the SSPI entry points, as the test program resolves them from the DLL.
using CreateContextFn = jint JNICALL(JNIEnv*, jclass, jboolean, jint, jstring, jstring);
using HandleFn = jint JNICALL(JNIEnv*, jclass, jint);
using TokenStepFn = jboolean JNICALL(JNIEnv*, jclass, jint, jbyteArray);
using BytesFn = jbyteArray JNICALL(JNIEnv*, jclass, jint);
using MessageFn = jbyteArray JNICALL(JNIEnv*, jclass, jint, jbyteArray);
using TextFn = jstring JNICALL(JNIEnv*, jclass, jint);
using VoidFn = void JNICALL(JNIEnv*, jclass, jint);
using GroupFn = jboolean JNICALL(JNIEnv*, jclass, jint, jstring);

inline bool Succeeded(SECURITY_STATUS status) { return status == SEC_E_OK || status == SEC_I_CONTINUE_NEEDED; }

// What the suite's clients ask for: mutual authentication and message protection.
constexpr ULONG kClientFlags = ISC_REQ_MUTUAL_AUTH | ISC_REQ_CONFIDENTIALITY | ISC_REQ_INTEGRITY | ISC_REQ_CONNECTION;

// One side of an exchange through the platform's own SSPI, without the library.
struct PlatformSide {
  CredHandle credential{0, 0};
  CtxtHandle context{0, 0};
  bool hasContext = false;
  ULONG attributes = 0;
  SECURITY_STATUS status = SEC_E_INTERNAL_ERROR;
  std::vector<uint8_t> token;  // the last step's output
  SecPkgContext_Sizes sizes{};
  SECURITY_STATUS sizesStatus = SEC_E_INTERNAL_ERROR;

  PlatformSide() = default;
  PlatformSide(const PlatformSide&) = delete;
  PlatformSide& operator=(const PlatformSide&) = delete;
  ~PlatformSide();
  // Credentials of the process's identity for `package`, outbound for a client.
  SECURITY_STATUS Acquire(bool client, const std::u16string& package);
  // One step with kClientFlags (a client's first step has no input); an established context is
  // then asked for its sizes, as the library asks.
  void Step(bool client, std::u16string& target, const std::vector<uint8_t>* input);
};

// The context report the library is to give for a record over `context`: each line as the
// platform answers the query behind it, the attribute names from the table of the record's side.
std::u16string PlatformReport(CtxtHandle* context, bool client, const char16_t* state, ULONG attributes);
