// SSPI.Initialize and SSPI.Accept: the later steps of the token exchange, client and server.
#include "bridge/entry.h"
#include "sspi/context_table.h"
#include "sspi/token_step.h"

namespace {

// Ends a step that failed or whose sizes could not be read: the record stays in error with its
// package context, which FreeHandle releases, and keeps the token of the step before.
bool FailStep(JNIEnv* env, SecurityContextRecord& record, SECURITY_STATUS status) {
  record.state = kStateError;
  ThrowPlatformError(env, static_cast<uint32_t>(status));
  return false;
}

// Moves the record to success once the package has answered SEC_E_OK. False, with the record in
// error and the platform error pending, when the sizes cannot be read.
bool Establish(JNIEnv* env, SecurityContextRecord& record) {
  if (!QueryContextSizes(record, env)) {
    record.state = kStateError;
    return false;
  }
  record.state = kStateSuccess;
  return true;
}

// Runs a step and, when it fails natively (memory for its buffers or its token), leaves the
// record's state as it was unless the package made a context meanwhile: a server record that still
// looked initial would hand the package no context on its next step and lose this one.
template <typename Step>
StepOutcome RunStepKeepingContext(SecurityContextRecord& record, Step&& step) {
  try {
    return step();
  } catch (...) {
    if (record.state == kStateInitial && HasSecurityContext(record)) record.state = kStateNegotiating;
    throw;
  }
}

jboolean Initialize(JNIEnv* env, jint handle, jbyteArray token) {
  if (token == nullptr) {
    ThrowWinAuthException(env, messages::kTokenCannotBeNull);
    return JNI_FALSE;
  }
  HeldContext record = HoldSecurityContextFor(env, handle, ContextSide::Client, {kStateNegotiating});
  if (!record) return JNI_FALSE;

  ByteArrayReader received(env, token);
  const TokenInput input{received.data(), received.size()};
  StepOutcome step = RunInitializeStep(*record, &input);
  received.Release();

  if (step.status == SEC_E_OK) {
    if (!Establish(env, *record)) return JNI_FALSE;
  } else if (step.status == SEC_I_CONTINUE_NEEDED) {
    record->state = kStateNegotiating;
  } else {
    return FailStep(env, *record, step.status);
  }
  record->outputToken = std::move(step.token);
  return record->state == kStateSuccess ? JNI_TRUE : JNI_FALSE;
}

jboolean Accept(JNIEnv* env, jint handle, jbyteArray token) {
  if (token == nullptr || env->GetArrayLength(token) == 0) {
    ThrowWinAuthException(env, messages::kTokenCannotBeNull);
    return JNI_FALSE;
  }
  HeldContext record =
      HoldSecurityContextFor(env, handle, ContextSide::Server, {kStateInitial, kStateNegotiating});
  if (!record) return JNI_FALSE;

  ByteArrayReader received(env, token);
  const bool first = record->state == kStateInitial;
  const TokenInput input{received.data(), received.size()};
  StepOutcome step = RunStepKeepingContext(*record, [&] { return RunAcceptStep(*record, input, first); });
  received.Release();
  record->state = kStateNegotiating;

  if (step.status == SEC_E_OK) {
    if (!Establish(env, *record)) return JNI_FALSE;
  } else if (step.status != SEC_I_CONTINUE_NEEDED) {
    return FailStep(env, *record, step.status);
  }
  // The final step's token replaces the last one too: it is what the client still needs when it
  // asked for mutual authentication, and a server that sends back its current token must not
  // send an old challenge. Empty when the package produced none.
  record->outputToken = std::move(step.token);
  return record->state == kStateSuccess ? JNI_TRUE : JNI_FALSE;
}

}  // namespace

extern "C" JNIEXPORT jboolean JNICALL Java_com_tarvex_pelk_quentrel_SSPI_Initialize(JNIEnv* env, jclass, jint handle,
                                                                                  jbyteArray token) {
  return GuardedEntry(env, jboolean{JNI_FALSE}, [&] { return Initialize(env, handle, token); });
}

extern "C" JNIEXPORT jboolean JNICALL Java_com_tarvex_pelk_quentrel_SSPI_Accept(JNIEnv* env, jclass, jint handle,
                                                                              jbyteArray token) {
  return GuardedEntry(env, jboolean{JNI_FALSE}, [&] { return Accept(env, handle, token); });
}
