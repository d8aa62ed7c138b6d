// The creation of a security context, shared by SSPI.CreateContext and the creation of a context
// bound to a channel.
#pragma once

#include <jni.h>

#include "bridge/platform.h"

#include <cstdint>
#include <vector>

// Appends a record with credentials of the process identity and, for a client, runs the first
// step; returns its handle, or 0 with the failure pending. `channelBindings` is a
// SEC_CHANNEL_BINDINGS block that every step of the context hands the package, or empty.
// `identity`, for a client only, names the user and password its credential is made of instead of
// the process identity.
// Takes LibraryLock only to put the record on the table and, on failure, to take it off again.
jint CreateSecurityContext(JNIEnv* env, jboolean client, jint flags, jstring package, jstring target,
                           std::vector<uint8_t> channelBindings, SEC_WINNT_AUTH_IDENTITY_W* identity = nullptr);
