// The native half of the JVM benchmark: an empty static native method (the floor of any JNI call),
// the package's own EncryptMessage and DecryptMessage called from C++ on the library's contexts,
// and memcpy of the same sizes. Each native runs a whole batch, so that the JNI call is not part
// of the baseline it measures.
//
// On the system world, NSS's lookups of account names, and GSSAPI called directly: wrap and unwrap on the GSSAPI contexts behind the
// library's own, one message per call as a Java binding of GSSAPI would make them, and whole
// Kerberos authentications from credentials to deletion; and server sign-ons (accept a client's
// token, name the client, delete) on an acceptor credential acquired once.
#include <gssapi/gssapi_ext.h>
#include <gssapi/gssapi_krb5.h>
#include <jni.h>
#include <krb5/krb5.h>
#include <pwd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

// Built twice: beside the test build of the library, with the natives that reach into it through
// its test hooks; and with QUENTREL_BENCH_SHIPPED beside the shipped build, which has none, for the
// sign-on figures, so that those measure what a server runs.
#ifndef QUENTREL_BENCH_SHIPPED
#include <windows.h>

#include "winhost/control.h"

extern "C" CtxtHandle* quentrel_test_ContextOf(jint handle, SecPkgContext_Sizes* sizes, ULONG* attributes);
#endif

namespace {

#ifndef QUENTREL_BENCH_SHIPPED

// One side's view of an established context, as the library queried it.
struct Context {
  CtxtHandle* handle = nullptr;
  SecPkgContext_Sizes sizes = {0, 0, 0, 0};
  ULONG attributes = 0;
};

bool Lookup(jint handle, Context& context) {
  context.handle = quentrel_test_ContextOf(handle, &context.sizes, &context.attributes);
  return context.handle != nullptr;
}
#endif

// Buffers of at least `size` bytes kept from batch to batch, so that no batch pays for new pages.
uint8_t* Scratch(std::vector<uint8_t>& buffer, size_t size) {
  if (buffer.size() < size + 1) buffer.resize(size + 1, 0x5a);
  return buffer.data();
}

void ThrowState(JNIEnv* env, const char* message) {
  jclass type = env->FindClass("java/lang/IllegalStateException");
  if (type != nullptr) env->ThrowNew(type, message);
}

// An IllegalStateException naming the failed GSSAPI call and its statuses; returns false.
bool GssFailed(JNIEnv* env, const char* function, OM_uint32 major, OM_uint32 minor) {
  char message[160];
  std::snprintf(message, sizeof message, "%s failed: major 0x%08x, minor %u", function, major, minor);
  ThrowState(env, message);
  return false;
}

gss_ctx_id_t GssContext(jlong context) { return reinterpret_cast<gss_ctx_id_t>(static_cast<uintptr_t>(context)); }

gss_iov_buffer_desc Iov(OM_uint32 type, uint8_t* at, size_t length) {
  gss_iov_buffer_desc iov;
  iov.type = type;
  iov.buffer.value = at;
  iov.buffer.length = length;
  return iov;
}

// The service's own ticket-granting ticket from the default keytab's first principal, in a memory
// cache, as a server that keeps evidence for constrained delegation holds it; empty without one.
const std::string& ServiceCache() {
  static const std::string cache = [] {
    std::string name;
    krb5_context context = nullptr;
    if (krb5_init_context(&context) != 0) return name;
    krb5_keytab keytab = nullptr;
    krb5_kt_cursor cursor;
    krb5_keytab_entry entry;
    if (krb5_kt_default(context, &keytab) == 0 && krb5_kt_start_seq_get(context, keytab, &cursor) == 0) {
      if (krb5_kt_next_entry(context, keytab, &entry, &cursor) == 0) {
        krb5_creds creds;
        krb5_ccache ccache = nullptr;
        if (krb5_get_init_creds_keytab(context, &creds, entry.principal, keytab, 0, nullptr, nullptr) == 0) {
          if (krb5_cc_new_unique(context, "MEMORY", nullptr, &ccache) == 0 &&
              krb5_cc_initialize(context, ccache, creds.client) == 0 && krb5_cc_store_cred(context, ccache, &creds) == 0)
            name = std::string("MEMORY:") + krb5_cc_get_name(context, ccache);
          krb5_free_cred_contents(context, &creds);
        }
        krb5_free_keytab_entry_contents(context, &entry);
      }
      krb5_kt_end_seq_get(context, keytab, &cursor);
    }
    if (keytab != nullptr) krb5_kt_close(context, keytab);
    krb5_free_context(context);
    return name;
  }();
  return cache;
}

// One whole authentication as a client and a server of the same process make it directly: the
// same calls, with the same arguments, as the system world's package makes for SSPI's. With
// `evidence`, the server's credential can also initiate as the service, so that MIT keeps the
// client's ticket as evidence for constrained delegation, as the package does by default.
bool GssAuthentication(JNIEnv* env, gss_name_t target, bool evidence) {
  gss_OID_set_desc krb5 = {1, const_cast<gss_OID>(gss_mech_krb5)};
  OM_uint32 minor = 0, ignored = 0;
  gss_cred_id_t initiator = GSS_C_NO_CREDENTIAL, acceptor = GSS_C_NO_CREDENTIAL;
  gss_ctx_id_t client = GSS_C_NO_CONTEXT, server = GSS_C_NO_CONTEXT;
  bool ok = false;
  OM_uint32 major = gss_acquire_cred(&minor, GSS_C_NO_NAME, GSS_C_INDEFINITE, &krb5, GSS_C_INITIATE, &initiator,
                                     nullptr, nullptr);
  if (!GSS_ERROR(major)) {
    gss_key_value_element_desc element = {"ccache", ServiceCache().c_str()};
    gss_key_value_set_desc store = {1, &element};
    major = evidence && !ServiceCache().empty()
                ? gss_acquire_cred_from(&minor, GSS_C_NO_NAME, GSS_C_INDEFINITE, &krb5, GSS_C_BOTH, &store, &acceptor,
                                        nullptr, nullptr)
                : gss_acquire_cred(&minor, GSS_C_NO_NAME, GSS_C_INDEFINITE, &krb5, GSS_C_ACCEPT, &acceptor, nullptr,
                                   nullptr);
  }
  if (GSS_ERROR(major)) {
    GssFailed(env, "gss_acquire_cred", major, minor);
  } else {
    gss_buffer_desc toServer = GSS_C_EMPTY_BUFFER, toClient = GSS_C_EMPTY_BUFFER;
    bool clientDone = false, serverDone = false;
    while (!(clientDone && serverDone)) {
      if (!clientDone) {
        major = gss_init_sec_context(&minor, initiator, &client, target, gss_mech_krb5, GSS_C_CONF_FLAG, 0,
                                     GSS_C_NO_CHANNEL_BINDINGS, &toClient, nullptr, &toServer, nullptr, nullptr);
        gss_release_buffer(&ignored, &toClient);
        if (GSS_ERROR(major)) {
          gss_release_buffer(&ignored, &toServer);
          GssFailed(env, "gss_init_sec_context", major, minor);
          break;
        }
        clientDone = major == GSS_S_COMPLETE;
      }
      if (toServer.length == 0) {
        if (!serverDone) GssFailed(env, "gss_init_sec_context", major, 0);
        break;
      }
      gss_name_t peer = GSS_C_NO_NAME;
      gss_cred_id_t delegated = GSS_C_NO_CREDENTIAL;
      major = gss_accept_sec_context(&minor, &server, acceptor, &toServer, GSS_C_NO_CHANNEL_BINDINGS, &peer, nullptr,
                                     &toClient, nullptr, nullptr, &delegated);
      gss_release_buffer(&ignored, &toServer);
      gss_release_name(&ignored, &peer);
      if (delegated != GSS_C_NO_CREDENTIAL) gss_release_cred(&ignored, &delegated);
      if (GSS_ERROR(major)) {
        gss_release_buffer(&ignored, &toClient);
        GssFailed(env, "gss_accept_sec_context", major, minor);
        break;
      }
      serverDone = major == GSS_S_COMPLETE;
      if (clientDone && !serverDone) {
        GssFailed(env, "gss_accept_sec_context", major, minor);
        break;
      }
    }
    gss_release_buffer(&ignored, &toClient);
    ok = clientDone && serverDone;
  }
  if (client != GSS_C_NO_CONTEXT) gss_delete_sec_context(&ignored, &client, GSS_C_NO_BUFFER);
  if (server != GSS_C_NO_CONTEXT) gss_delete_sec_context(&ignored, &server, GSS_C_NO_BUFFER);
  if (initiator != GSS_C_NO_CREDENTIAL) gss_release_cred(&ignored, &initiator);
  if (acceptor != GSS_C_NO_CREDENTIAL) gss_release_cred(&ignored, &acceptor);
  return ok;
}

}  // namespace

extern "C" {

JNIEXPORT void JNICALL Java_JvmBench_empty(JNIEnv*, jclass) {}

// Whether the contexts the library's servers accept from now on are GSSAPI's (for a comparison
// with GSSAPI's calls on the same contexts) or, as by default, its own where it can.
JNIEXPORT void JNICALL Java_JvmBench_acceptWithGssapi(JNIEnv*, jclass, jboolean gssapi) {
  if (gssapi) {
    setenv("QUENTREL_KERBEROS_ACCEPTOR", "gssapi", 1);
  } else {
    unsetenv("QUENTREL_KERBEROS_ACCEPTOR");
  }
}

#ifndef QUENTREL_BENCH_SHIPPED
JNIEXPORT void JNICALL Java_JvmBench_clearJournalNative(JNIEnv*, jclass) { winhost::ClearJournal(); }

// The address of a library context's SSPI handle (for the JNA peer), 0 when there is none.
JNIEXPORT jlong JNICALL Java_JvmBench_contextAddress(JNIEnv*, jclass, jint handle) {
  Context context;
  return Lookup(handle, context) ? static_cast<jlong>(reinterpret_cast<uintptr_t>(context.handle)) : 0;
}

// `rounds` messages of `size` bytes from the client to the server through the package alone, done
// as a C++ caller must: the message copied into the buffer the package seals in place, the three
// parts laid end to end as one stream, the stream opened. Returns a byte of the last message.
JNIEXPORT jint JNICALL Java_JvmBench_packageRounds(JNIEnv* env, jclass, jint clientHandle, jint serverHandle,
                                                   jint size, jint rounds) {
  Context client, server;
  if (!Lookup(clientHandle, client) || !Lookup(serverHandle, server)) {
    ThrowState(env, "no such context");
    return 0;
  }
  thread_local std::vector<uint8_t> messageBuffer, dataBuffer, streamBuffer;
  const size_t length = static_cast<size_t>(size);
  const uint8_t* message = Scratch(messageBuffer, length);
  uint8_t* data = Scratch(dataBuffer, length);
  std::vector<uint8_t> token(client.sizes.cbSecurityTrailer), padding(client.sizes.cbBlockSize);
  uint8_t* stream = Scratch(streamBuffer, token.size() + length + padding.size());
  const ULONG quality = (client.attributes & ISC_RET_CONFIDENTIALITY) != 0 ? 0 : SECQOP_WRAP_NO_ENCRYPT;
  jint last = 0;
  for (jint round = 0; round < rounds; ++round) {
    std::memcpy(data, message, length);
    SecBuffer out[3] = {{static_cast<ULONG>(token.size()), SECBUFFER_TOKEN, token.data()},
                        {static_cast<ULONG>(length), SECBUFFER_DATA, data},
                        {static_cast<ULONG>(padding.size()), SECBUFFER_PADDING, padding.empty() ? nullptr : padding.data()}};
    SecBufferDesc sealed{SECBUFFER_VERSION, 3, out};
    if (EncryptMessage(client.handle, quality, &sealed, 0) != SEC_E_OK) {
      ThrowState(env, "EncryptMessage failed");
      return 0;
    }
    size_t at = 0;
    for (const SecBuffer& part : out) {
      if (part.pvBuffer == nullptr || part.cbBuffer == 0) continue;
      std::memcpy(stream + at, part.pvBuffer, part.cbBuffer);
      at += part.cbBuffer;
    }
    SecBuffer in[2] = {{static_cast<ULONG>(at), SECBUFFER_STREAM, stream}, {0, SECBUFFER_DATA, nullptr}};
    SecBufferDesc opened{SECBUFFER_VERSION, 2, in};
    if (DecryptMessage(server.handle, &opened, 0, nullptr) != SEC_E_OK || in[1].cbBuffer != length) {
      ThrowState(env, "DecryptMessage failed");
      return 0;
    }
    if (length > 0) last = static_cast<const uint8_t*>(in[1].pvBuffer)[length - 1];
  }
  return last;
}

#endif

// `rounds` copies of `size` bytes between two buffers. Returns a byte of the copy.
JNIEXPORT jint JNICALL Java_JvmBench_copyRounds(JNIEnv*, jclass, jint size, jint rounds) {
  thread_local std::vector<uint8_t> fromBuffer, toBuffer;
  const size_t length = static_cast<size_t>(size) + 1;
  uint8_t* from = Scratch(fromBuffer, length);
  uint8_t* to = Scratch(toBuffer, length);
  jint sum = 0;
  for (jint round = 0; round < rounds; ++round) {
    from[static_cast<size_t>(round) % length] = static_cast<uint8_t>(round);
    std::memcpy(to, from, length);
    sum += to[static_cast<size_t>(round) % length];
  }
  return sum;
}

// ---- GSSAPI called directly, on the system world ----------------------------------------------

#ifndef QUENTREL_BENCH_SHIPPED
// The GSSAPI context behind a library context, 0 when there is none.
JNIEXPORT jlong JNICALL Java_JvmBench_gssContext(JNIEnv*, jclass, jint handle) {
  Context context;
  if (!Lookup(handle, context)) return 0;
  return static_cast<jlong>(reinterpret_cast<uintptr_t>(winhost::GssContextOf(context.handle->dwLower,
                                                                                  context.handle->dwUpper)));
}
#endif

// The header and padding lengths of a sealed message of `size` bytes, as {header, padding}: what
// a binding learns once per context and message size.
JNIEXPORT jintArray JNICALL Java_JvmBench_gssWrapLengths(JNIEnv* env, jclass, jlong context, jint size) {
  gss_iov_buffer_desc iov[3] = {Iov(GSS_IOV_BUFFER_TYPE_HEADER, nullptr, 0),
                                Iov(GSS_IOV_BUFFER_TYPE_DATA, nullptr, static_cast<size_t>(size)),
                                Iov(GSS_IOV_BUFFER_TYPE_PADDING, nullptr, 0)};
  OM_uint32 minor = 0;
  const OM_uint32 major = gss_wrap_iov_length(&minor, GssContext(context), 1, GSS_C_QOP_DEFAULT, nullptr, iov, 3);
  if (GSS_ERROR(major)) {
    GssFailed(env, "gss_wrap_iov_length", major, minor);
    return nullptr;
  }
  jintArray lengths = env->NewIntArray(2);
  if (lengths == nullptr) return nullptr;
  const jint values[2] = {static_cast<jint>(iov[0].buffer.length), static_cast<jint>(iov[2].buffer.length)};
  env->SetIntArrayRegion(lengths, 0, 2, values);
  return lengths;
}

// One message sealed by gss_wrap_iov, as a Java binding makes it: the Java array read into native
// memory between room for the header and the padding, the three parts written end to end into a
// new Java array (one standard wrap token).
JNIEXPORT jbyteArray JNICALL Java_JvmBench_gssWrap(JNIEnv* env, jclass, jlong context, jint header, jint padding,
                                                   jbyteArray message) {
  thread_local std::vector<uint8_t> buffer;
  const jsize length = env->GetArrayLength(message);
  uint8_t* at = Scratch(buffer, static_cast<size_t>(header) + static_cast<size_t>(length) + static_cast<size_t>(padding));
  uint8_t* data = at + header;
  env->GetByteArrayRegion(message, 0, length, reinterpret_cast<jbyte*>(data));
  gss_iov_buffer_desc iov[3] = {Iov(GSS_IOV_BUFFER_TYPE_HEADER, at, static_cast<size_t>(header)),
                                Iov(GSS_IOV_BUFFER_TYPE_DATA, data, static_cast<size_t>(length)),
                                Iov(GSS_IOV_BUFFER_TYPE_PADDING, data + length, static_cast<size_t>(padding))};
  OM_uint32 minor = 0;
  const OM_uint32 major = gss_wrap_iov(&minor, GssContext(context), 1, GSS_C_QOP_DEFAULT, nullptr, iov, 3);
  if (GSS_ERROR(major)) {
    GssFailed(env, "gss_wrap_iov", major, minor);
    return nullptr;
  }
  jsize total = 0;
  for (const gss_iov_buffer_desc& part : iov) total += static_cast<jsize>(part.buffer.length);
  jbyteArray wrapped = env->NewByteArray(total);
  if (wrapped == nullptr) return nullptr;
  jsize written = 0;
  for (const gss_iov_buffer_desc& part : iov) {
    const jsize size = static_cast<jsize>(part.buffer.length);
    if (size == 0) continue;
    env->SetByteArrayRegion(wrapped, written, size, static_cast<const jbyte*>(part.buffer.value));
    written += size;
  }
  return wrapped;
}

// One wrap token opened by gss_unwrap_iov in place: the Java array read into native memory as a
// stream, the message inside it written into a new Java array.
JNIEXPORT jbyteArray JNICALL Java_JvmBench_gssUnwrap(JNIEnv* env, jclass, jlong context, jbyteArray wrapped) {
  thread_local std::vector<uint8_t> buffer;
  const jsize length = env->GetArrayLength(wrapped);
  uint8_t* stream = Scratch(buffer, static_cast<size_t>(length));
  env->GetByteArrayRegion(wrapped, 0, length, reinterpret_cast<jbyte*>(stream));
  gss_iov_buffer_desc iov[2] = {Iov(GSS_IOV_BUFFER_TYPE_STREAM, stream, static_cast<size_t>(length)),
                                Iov(GSS_IOV_BUFFER_TYPE_DATA, nullptr, 0)};
  OM_uint32 minor = 0;
  int confidential = 0;
  const OM_uint32 major = gss_unwrap_iov(&minor, GssContext(context), &confidential, nullptr, iov, 2);
  if (GSS_ERROR(major) || confidential == 0) {
    GssFailed(env, "gss_unwrap_iov", major, minor);
    return nullptr;
  }
  const jsize size = static_cast<jsize>(iov[1].buffer.length);
  jbyteArray plain = env->NewByteArray(size);
  if (plain != nullptr && size > 0) {
    env->SetByteArrayRegion(plain, 0, size, static_cast<const jbyte*>(iov[1].buffer.value));
  }
  return plain;
}

// getpwnam_r of each name, `rounds` times; how many answered.
JNIEXPORT jint JNICALL Java_JvmBench_nssLookups(JNIEnv* env, jclass, jobjectArray names, jint rounds) {
  std::vector<std::string> texts;
  for (jsize i = 0; i < env->GetArrayLength(names); ++i) {
    auto name = static_cast<jstring>(env->GetObjectArrayElement(names, i));
    const char* text = env->GetStringUTFChars(name, nullptr);
    if (text == nullptr) return 0;
    texts.emplace_back(text);
    env->ReleaseStringUTFChars(name, text);
    env->DeleteLocalRef(name);
  }
  std::vector<char> buffer(4096);
  jint found = 0;
  for (jint round = 0; round < rounds; ++round)
    for (const std::string& text : texts) {
      passwd entry;
      passwd* result = nullptr;
      if (getpwnam_r(text.c_str(), &entry, buffer.data(), buffer.size(), &result) == 0 && result != nullptr) ++found;
    }
  return found;
}

// `rounds` whole authentications of this process's default principal to the Kerberos service
// `target` ("HTTP/localhost" is GSSAPI's "HTTP@localhost"), each from acquiring both sides'
// credentials to deleting both contexts. Returns `rounds`, or 0 with an exception pending.
JNIEXPORT jint JNICALL Java_JvmBench_gssAuthentications(JNIEnv* env, jclass, jstring service, jint rounds,
                                                         jboolean evidence) {
  const char* text = env->GetStringUTFChars(service, nullptr);
  if (text == nullptr) return 0;
  std::string name = text;
  env->ReleaseStringUTFChars(service, text);
  if (size_t slash = name.find('/'); slash != std::string::npos) name[slash] = '@';
  jint done = 0;
  for (jint round = 0; round < rounds; ++round) {
    // The package imports the target for each client context; so does this.
    gss_buffer_desc buffer = {name.size(), name.data()};
    gss_name_t target = GSS_C_NO_NAME;
    OM_uint32 minor = 0;
    const OM_uint32 major = gss_import_name(&minor, &buffer, GSS_C_NT_HOSTBASED_SERVICE, &target);
    if (GSS_ERROR(major)) {
      GssFailed(env, "gss_import_name", major, minor);
      return 0;
    }
    const bool ok = GssAuthentication(env, target, evidence != JNI_FALSE);
    gss_release_name(&minor, &target);
    if (!ok) return 0;
    ++done;
  }
  return done;
}

// ---- server sign-ons through GSSAPI directly, the floor of the library's ----------------------

// An acceptor credential of the default keytab for krb5 (`spnego` false) or SPNEGO, acquired once
// as a C server keeps it; 0 with an exception pending. The server keeps a krb5 context open as
// well, as the library does: krb5 then parses its configuration once for all the contexts GSSAPI
// makes and frees in its calls, instead of once for each.
JNIEXPORT jlong JNICALL Java_JvmBench_gssAcceptor(JNIEnv* env, jclass, jboolean spnego) {
  static krb5_context kept = [] {
    krb5_context made = nullptr;
    return krb5_init_context(&made) == 0 ? made : nullptr;
  }();
  if (kept == nullptr) {
    ThrowState(env, "krb5_init_context failed");
    return 0;
  }
  static gss_OID_desc spnegoOid = {6, const_cast<char*>("\x2b\x06\x01\x05\x05\x02")};
  gss_OID_set_desc mechanisms = {1, spnego ? &spnegoOid : const_cast<gss_OID>(gss_mech_krb5)};
  OM_uint32 minor = 0;
  gss_cred_id_t cred = GSS_C_NO_CREDENTIAL;
  const OM_uint32 major =
      gss_acquire_cred(&minor, GSS_C_NO_NAME, GSS_C_INDEFINITE, &mechanisms, GSS_C_ACCEPT, &cred, nullptr, nullptr);
  if (GSS_ERROR(major)) {
    GssFailed(env, "gss_acquire_cred", major, minor);
    return 0;
  }
  return static_cast<jlong>(reinterpret_cast<uintptr_t>(cred));
}

JNIEXPORT void JNICALL Java_JvmBench_gssReleaseAcceptor(JNIEnv*, jclass, jlong cred) {
  OM_uint32 minor = 0;
  gss_cred_id_t held = reinterpret_cast<gss_cred_id_t>(static_cast<uintptr_t>(cred));
  gss_release_cred(&minor, &held);
}

}  // extern "C"

namespace {

// One sign-on as a C server makes it: the client's token read from its Java array, accepted in one
// step, the client's name displayed, the context deleted. `reply` gets the token for the client.
bool GssSignOn(JNIEnv* env, gss_cred_id_t cred, jbyteArray token, std::string& name, std::vector<uint8_t>& reply) {
  thread_local std::vector<uint8_t> buffer;
  const jsize length = env->GetArrayLength(token);
  uint8_t* bytes = Scratch(buffer, static_cast<size_t>(length));
  env->GetByteArrayRegion(token, 0, length, reinterpret_cast<jbyte*>(bytes));
  gss_buffer_desc in = {static_cast<size_t>(length), bytes};
  gss_buffer_desc out = GSS_C_EMPTY_BUFFER, text = GSS_C_EMPTY_BUFFER;
  gss_ctx_id_t context = GSS_C_NO_CONTEXT;
  gss_name_t peer = GSS_C_NO_NAME;
  OM_uint32 minor = 0, ignored = 0;
  OM_uint32 major = gss_accept_sec_context(&minor, &context, cred, &in, GSS_C_NO_CHANNEL_BINDINGS, &peer, nullptr, &out,
                                           nullptr, nullptr, nullptr);
  bool ok = major == GSS_S_COMPLETE;
  if (!ok) {
    GssFailed(env, major == GSS_S_CONTINUE_NEEDED ? "gss_accept_sec_context (another leg)" : "gss_accept_sec_context",
              major, minor);
  } else if (GSS_ERROR(major = gss_display_name(&minor, peer, &text, nullptr))) {
    ok = GssFailed(env, "gss_display_name", major, minor);
  } else {
    name.assign(static_cast<const char*>(text.value), text.length);
    reply.assign(static_cast<const uint8_t*>(out.value), static_cast<const uint8_t*>(out.value) + out.length);
  }
  gss_release_buffer(&ignored, &text);
  gss_release_buffer(&ignored, &out);
  gss_release_name(&ignored, &peer);
  if (context != GSS_C_NO_CONTEXT) gss_delete_sec_context(&ignored, &context, GSS_C_NO_BUFFER);
  return ok;
}

}  // namespace

extern "C" {

// The CPU time of the whole process in nanoseconds, to the nanosecond: the JDK's own figure counts in
// ticks of the scheduler.
JNIEXPORT jlong JNICALL Java_JvmBench_processCpuTime(JNIEnv*, jclass) {
  timespec now;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<jlong>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

// Sign-ons on tokens[from] to tokens[from + count - 1]. Returns the total length of the names, or
// 0 with an exception pending.
JNIEXPORT jint JNICALL Java_JvmBench_gssSignOns(JNIEnv* env, jclass, jlong cred, jobjectArray tokens, jint from,
                                                jint count) {
  gss_cred_id_t acceptor = reinterpret_cast<gss_cred_id_t>(static_cast<uintptr_t>(cred));
  std::string name;
  std::vector<uint8_t> reply;
  jint named = 0;
  for (jint i = from; i < from + count; ++i) {
    auto token = static_cast<jbyteArray>(env->GetObjectArrayElement(tokens, i));
    if (token == nullptr) return 0;
    const bool ok = GssSignOn(env, acceptor, token, name, reply);
    env->DeleteLocalRef(token);
    if (!ok) return 0;
    named += static_cast<jint>(name.size());
  }
  return named;
}

// One sign-on, as an HTTP authenticator calls it: {the client's name in UTF-8, the token for the
// client}, or null with an exception pending.
JNIEXPORT jobjectArray JNICALL Java_JvmBench_gssSignOn(JNIEnv* env, jclass, jlong cred, jbyteArray token) {
  std::string name;
  std::vector<uint8_t> reply;
  if (!GssSignOn(env, reinterpret_cast<gss_cred_id_t>(static_cast<uintptr_t>(cred)), token, name, reply)) return nullptr;
  jclass bytes = env->FindClass("[B");
  if (bytes == nullptr) return nullptr;
  jobjectArray answer = env->NewObjectArray(2, bytes, nullptr);
  if (answer == nullptr) return nullptr;
  const std::vector<uint8_t>* parts[2] = {nullptr, &reply};
  const std::vector<uint8_t> nameBytes(name.begin(), name.end());
  parts[0] = &nameBytes;
  for (jsize i = 0; i < 2; ++i) {
    jbyteArray part = env->NewByteArray(static_cast<jsize>(parts[i]->size()));
    if (part == nullptr) return nullptr;
    env->SetByteArrayRegion(part, 0, static_cast<jsize>(parts[i]->size()), reinterpret_cast<const jbyte*>(parts[i]->data()));
    env->SetObjectArrayElement(answer, i, part);
    env->DeleteLocalRef(part);
  }
  return answer;
}

}  // extern "C"
