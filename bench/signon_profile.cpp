// Server sign-ons through the library's entry points, for a profiler: the client's tokens are
// made first by GSSAPI directly (one fresh context each, so that the replay cache takes every one),
// then each is accepted as a server does it: create the server context, accept the token, ask the
// client's name, free. Only the measured sign-ons run inside Measured(), the function to collect
// (one sign-on before them makes what is made once per process):
//
//   valgrind --tool=callgrind --toggle-collect=*Measured* signon_profile Negotiate 200
//
// Run inside a Kerberos realm whose keytab holds HTTP/localhost (tests/kdc/with-realm.sh).
// Arguments: the package ("Kerberos" takes raw krb5 tokens, "Negotiate" SPNEGO ones), the number
// of sign-ons, and "direct" to make the same sign-ons with GSSAPI alone instead, its acceptor
// credential acquired once ("direct-each": for each sign-on).
#include <gssapi/gssapi_krb5.h>
#include <krb5/krb5.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "jnifake/fake_jni.h"
#include "winhost/control.h"

extern "C" {
JNIEXPORT jint JNICALL Java_com_tarvex_pelk_quentrel_SSPI_CreateContext(JNIEnv*, jclass, jboolean, jint, jstring, jstring);
JNIEXPORT jboolean JNICALL Java_com_tarvex_pelk_quentrel_SSPI_Accept(JNIEnv*, jclass, jint, jbyteArray);
JNIEXPORT jstring JNICALL Java_com_tarvex_pelk_quentrel_SSPI_GetClientUserName(JNIEnv*, jclass, jint);
JNIEXPORT void JNICALL Java_com_tarvex_pelk_quentrel_SSPI_FreeHandle(JNIEnv*, jclass, jint);
}

namespace {

gss_OID_desc kSpnego = {6, const_cast<char*>("\x2b\x06\x01\x05\x05\x02")};

[[noreturn]] void Die(const std::string& what) {
  std::fprintf(stderr, "signon_profile: %s\n", what.c_str());
  std::exit(1);
}

// One client token for HTTP@localhost from the default credentials, its context thrown away.
std::vector<uint8_t> ClientToken(gss_OID mechanism) {
  OM_uint32 minor = 0;
  gss_buffer_desc text = {14, const_cast<char*>("HTTP@localhost")};
  gss_name_t target = GSS_C_NO_NAME;
  if (GSS_ERROR(gss_import_name(&minor, &text, GSS_C_NT_HOSTBASED_SERVICE, &target))) Die("gss_import_name");
  gss_ctx_id_t context = GSS_C_NO_CONTEXT;
  gss_buffer_desc token = GSS_C_EMPTY_BUFFER;
  const OM_uint32 major = gss_init_sec_context(&minor, GSS_C_NO_CREDENTIAL, &context, target, mechanism, 0, 0,
                                               GSS_C_NO_CHANNEL_BINDINGS, GSS_C_NO_BUFFER, nullptr, &token, nullptr,
                                               nullptr);
  if (GSS_ERROR(major)) Die("gss_init_sec_context: no ticket for HTTP/localhost?");
  std::vector<uint8_t> bytes(static_cast<const uint8_t*>(token.value),
                             static_cast<const uint8_t*>(token.value) + token.length);
  gss_release_buffer(&minor, &token);
  gss_delete_sec_context(&minor, &context, GSS_C_NO_BUFFER);
  gss_release_name(&minor, &target);
  return bytes;
}

size_t SignOns(fakejni::FakeJvm& jvm, jstring package, const std::vector<jbyteArray>& tokens) {
  JNIEnv* env = jvm.env();
  size_t named = 0;
  for (jbyteArray token : tokens) {
    const jint handle = Java_com_tarvex_pelk_quentrel_SSPI_CreateContext(env, nullptr, JNI_FALSE, 0, package, nullptr);
    if (Java_com_tarvex_pelk_quentrel_SSPI_Accept(env, nullptr, handle, token) == JNI_FALSE) Die("not accepted");
    jstring name = Java_com_tarvex_pelk_quentrel_SSPI_GetClientUserName(env, nullptr, handle);
    if (name != nullptr) named += jvm.TextOf(name).size();
    jvm.Delete(name);
    Java_com_tarvex_pelk_quentrel_SSPI_FreeHandle(env, nullptr, handle);
    if (auto thrown = jvm.Take()) Die(thrown->className + ": " + thrown->message);
  }
  return named;
}

gss_cred_id_t AcceptorCredential(gss_OID mechanism) {
  gss_OID_set_desc mechanisms = {1, mechanism};
  OM_uint32 minor = 0;
  gss_cred_id_t cred = GSS_C_NO_CREDENTIAL;
  if (GSS_ERROR(gss_acquire_cred(&minor, GSS_C_NO_NAME, GSS_C_INDEFINITE, &mechanisms, GSS_C_ACCEPT, &cred, nullptr,
                                 nullptr)))
    Die("gss_acquire_cred");
  return cred;
}

// The same with GSSAPI alone: accept, display the name, delete; with the acceptor credential
// acquired once (`kept`, as a server that keeps it) or for each sign-on and released after it.
size_t DirectSignOns(gss_OID mechanism, gss_cred_id_t kept, const std::vector<std::vector<uint8_t>>& tokens) {
  size_t named = 0;
  for (const std::vector<uint8_t>& bytes : tokens) {
    OM_uint32 minor = 0;
    gss_cred_id_t cred = kept != GSS_C_NO_CREDENTIAL ? kept : AcceptorCredential(mechanism);
    gss_ctx_id_t context = GSS_C_NO_CONTEXT;
    gss_buffer_desc in = {bytes.size(), const_cast<uint8_t*>(bytes.data())};
    gss_buffer_desc out = GSS_C_EMPTY_BUFFER, text = GSS_C_EMPTY_BUFFER;
    gss_name_t peer = GSS_C_NO_NAME;
    if (GSS_ERROR(gss_accept_sec_context(&minor, &context, cred, &in, GSS_C_NO_CHANNEL_BINDINGS, &peer, nullptr, &out,
                                         nullptr, nullptr, nullptr)))
      Die("gss_accept_sec_context");
    if (!GSS_ERROR(gss_display_name(&minor, peer, &text, nullptr))) named += text.length;
    gss_release_buffer(&minor, &text);
    gss_release_buffer(&minor, &out);
    gss_release_name(&minor, &peer);
    gss_delete_sec_context(&minor, &context, GSS_C_NO_BUFFER);
    if (cred != kept) gss_release_cred(&minor, &cred);
  }
  return named;
}

// The measured run, apart from the warm-up for a profiler to collect.
template <typename Run>
__attribute__((noinline)) size_t Measured(Run&& run) {
  return run();
}

// CPU time of the calling thread, in microseconds.
double ThreadMicros() {
  timespec now;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1e6 + static_cast<double>(now.tv_nsec) / 1e3;
}

void Report(size_t named, double micros, size_t count) {
  std::printf("%zu sign-ons, %.1f us of CPU each (names: %zu characters)\n", count, micros / static_cast<double>(count),
              named);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string packageName = argc > 1 ? argv[1] : "Negotiate";
  const int count = argc > 2 ? std::atoi(argv[2]) : 100;
  const std::string mode = argc > 3 ? argv[3] : "";
  const bool direct = mode == "direct" || mode == "direct-each";
  if (packageName != "Kerberos" && packageName != "Negotiate") Die("the package is Kerberos or Negotiate");
  gss_OID mechanism = packageName == "Kerberos" ? const_cast<gss_OID>(gss_mech_krb5) : &kSpnego;

  // One sign-on before the tokens are made, so that the first one measured finds everything that is
  // made once per process (the mechanisms, the keytab's first read) already made.
  std::vector<std::vector<uint8_t>> tokens;
  for (int i = 0; i <= count; ++i) tokens.push_back(ClientToken(mechanism));
  if (direct) {
    // A server that keeps its credential keeps a krb5 context open too, as the library does, so
    // that krb5 parses its configuration once for the contexts GSSAPI makes in its calls.
    krb5_context open = nullptr;
    if (krb5_init_context(&open) != 0) Die("krb5_init_context");
    gss_cred_id_t kept = mode == "direct" ? AcceptorCredential(mechanism) : GSS_C_NO_CREDENTIAL;
    DirectSignOns(mechanism, kept, {tokens.back()});
    tokens.pop_back();
    const double start = ThreadMicros();
    const size_t named = Measured([&] { return DirectSignOns(mechanism, kept, tokens); });
    Report(named, ThreadMicros() - start, tokens.size());
    return 0;
  }
  auto* jvm = new fakejni::FakeJvm();  // left to the process, as the library's own tables are
  jstring package = jvm->String(std::u16string(packageName.begin(), packageName.end()));
  std::vector<jbyteArray> arrays;
  for (const auto& bytes : tokens) arrays.push_back(jvm->Bytes(bytes));
  SignOns(*jvm, package, {arrays.back()});
  arrays.pop_back();
  winhost::ClearJournal();
  const double start = ThreadMicros();
  const size_t named = Measured([&] { return SignOns(*jvm, package, arrays); });
  Report(named, ThreadMicros() - start, arrays.size());
  return 0;
}
