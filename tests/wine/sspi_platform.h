// What the platform's own SSPI answers, asked by the test program, for the SSPI groups.
#pragma once

#define SECURITY_WIN32
#include <windows.h>
#include <security.h>
#include <sspi.h>

#include <jni.h>

#include <string>

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

// The context report the library is to give for a record over `context`: each line as the
// platform answers the query behind it, the attribute names from the table of the record's side.
std::u16string PlatformReport(CtxtHandle* context, bool client, const char16_t* state, ULONG attributes);
