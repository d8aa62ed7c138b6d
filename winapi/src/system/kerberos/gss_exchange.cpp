// The system world's token exchange: InitializeSecurityContextW and AcceptSecurityContext as
// gss_init_sec_context and gss_accept_sec_context, and the release.
#include <gssapi/gssapi_ext.h>
#include <gssapi/gssapi_krb5.h>
#include <krb5/krb5.h>
#include <profile.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <optional>

#include "common/sspi.h"
#include "system/kerberos/ap_request.h"
#include "system/kerberos/direct_acceptor.h"
#include "system/kerberos/gss_host.h"
#include "system/kerberos/replay.h"

namespace winhost::system::kerberos {
namespace {

std::map<ULONG_PTR, Context>& Contexts() {
  static auto* contexts = new std::map<ULONG_PTR, Context>();
  return *contexts;
}

// Copies an output token into the caller's SECBUFFER_TOKEN buffer.
SECURITY_STATUS WriteToken(PSecBufferDesc output, const void* token, size_t length) {
  SecBuffer* buffer = FindBuffer(output, SECBUFFER_TOKEN);
  if (buffer == nullptr) return length == 0 ? SEC_E_OK : SEC_E_INVALID_TOKEN;
  if (length > buffer->cbBuffer || (length > 0 && buffer->pvBuffer == nullptr)) return SEC_E_BUFFER_TOO_SMALL;
  if (length > 0) std::memcpy(buffer->pvBuffer, token, length);
  buffer->cbBuffer = static_cast<ULONG>(length);
  return SEC_E_OK;
}

// A step's channel bindings as GSSAPI takes them, over the step's own copy of the caller's block.
class StepBindings {
 public:
  SECURITY_STATUS Read(PSecBufferDesc input) {
    SECURITY_STATUS status = common::ReadChannelBindings(input, read_);
    if (status != SEC_E_OK || !read_) return status;
    bindings_.initiator_addrtype = read_->initiatorType;
    bindings_.initiator_address = Buffer(read_->initiator);
    bindings_.acceptor_addrtype = read_->acceptorType;
    bindings_.acceptor_address = Buffer(read_->acceptor);
    bindings_.application_data = Buffer(read_->application);
    return SEC_E_OK;
  }
  bool Present() const { return read_.has_value(); }
  gss_channel_bindings_t Get() { return read_ ? &bindings_ : GSS_C_NO_CHANNEL_BINDINGS; }

 private:
  static gss_buffer_desc Buffer(std::vector<uint8_t>& bytes) {
    return gss_buffer_desc{bytes.size(), bytes.empty() ? nullptr : bytes.data()};
  }
  std::optional<common::ChannelBindings> read_;
  gss_channel_bindings_struct bindings_ = {};
};

// A server given channel bindings and not told to allow their absence refuses a client that sent
// none: GSSAPI itself only refuses bindings that differ.
OM_uint32 RequireBindings(OM_uint32 major, OM_uint32 agreed, ULONG requested, const StepBindings& bindings) {
  if (major != GSS_S_COMPLETE || !bindings.Present() || (requested & ASC_REQ_ALLOW_MISSING_BINDINGS) != 0) return major;
  return (agreed & GSS_C_CHANNEL_BOUND_FLAG) != 0 ? major : GSS_S_BAD_BINDINGS;
}

gss_buffer_desc InputToken(PSecBufferDesc input) {
  SecBuffer* buffer = FindBuffer(input, SECBUFFER_TOKEN);
  if (buffer == nullptr || buffer->pvBuffer == nullptr) return GSS_C_EMPTY_BUFFER;
  return gss_buffer_desc{buffer->cbBuffer, buffer->pvBuffer};
}

// Keeps a context that its first step made, under a new handle.
void Register(Context& context, PCtxtHandle handle) {
  ULONG_PTR id = NewId();
  Contexts()[id] = std::move(context);
  AddLive("context", 1);
  handle->dwLower = kContextTag;
  handle->dwUpper = id;
}

// The context a step works on: `fresh` for a first step, else the caller's, which must be of
// this side and not yet established.
SECURITY_STATUS Working(PCtxtHandle context, bool client, Context& fresh, Context*& working) {
  if (context == nullptr) {
    working = &fresh;
    return SEC_E_OK;
  }
  working = FindContext(context);
  if (working == nullptr || working->client != client) return SEC_E_INVALID_HANDLE;
  return working->established ? SEC_E_OUT_OF_SEQUENCE : SEC_E_OK;
}

// A new client context's target, as GSSAPI names it.
SECURITY_STATUS NameTarget(const WCHAR* target, Context& fresh) {
  auto [text, type] = GssTargetName(target != nullptr ? Narrow(target) : std::string());
  gss_buffer_desc name = {text.size(), const_cast<char*>(text.data())};
  OM_uint32 minor = 0;
  OM_uint32 major = Fault("gss_import_name", minor);
  if (major == GSS_S_COMPLETE) major = gss_import_name(&minor, &name, type, fresh.target.out());
  return GSS_ERROR(major) ? Failed("gss_import_name", major, minor, fresh.mechanism->oid, false) : SEC_E_OK;
}

// The caller's handles and outputs of a step.
struct Handles {
  PCtxtHandle context;
  PCtxtHandle newContext;
  PULONG attributes;
  PTimeStamp expiry;
};

// The end of a step that succeeded: the context's state, the caller's outputs and, for a first
// step, the context kept under a new handle.
void Conclude(Context& working, OM_uint32 major, OM_uint32 agreed, OM_uint32 lifetime, const Handles& handles) {
  working.established = major == GSS_S_COMPLETE;
  if (working.established) working.establishedAt = std::time(nullptr);
  working.attributes = WindowsFlags(agreed, working.requested, working.client);
  if (handles.attributes != nullptr) *handles.attributes = working.attributes;
  SetLifetime(handles.expiry, lifetime);
  if (handles.context == nullptr) {
    Register(working, handles.newContext);
  } else if (handles.newContext != handles.context) {
    *handles.newContext = *handles.context;
  }
}

// A context that a later step works on without the world lock: taken off the table for the step,
// so that no other thread reaches it meanwhile (a call that names it then finds no context, as
// after a free), and put back under the lock when the step ends, whatever its outcome.
class SetAside {
 public:
  SetAside(WorldLock& guard, PCtxtHandle handle) : guard_(guard) {
    if (handle != nullptr) node_ = Contexts().extract(handle->dwUpper);
  }
  SetAside(const SetAside&) = delete;
  SetAside& operator=(const SetAside&) = delete;
  ~SetAside() {
    if (!node_) return;
    if (!guard_.owns_lock()) guard_.lock();
    Contexts().insert(std::move(node_));
  }
  // The context set aside, or `fresh` for a first step.
  Context& Record(Context& fresh) { return node_ ? node_.mapped() : fresh; }

 private:
  WorldLock& guard_;
  std::map<ULONG_PTR, Context>::node_type node_;
};

// What one acceptance gives.
struct Accepted {
  OM_uint32 major = GSS_S_COMPLETE;
  OM_uint32 minor = 0;
  OM_uint32 agreed = 0;
  OM_uint32 lifetime = 0;
  GssBuffer out;
  GssName peer;
  gss_OID actual = GSS_C_NO_OID;
  GssCredential delegated;
  // A site that keeps no delegation asks for none: GSSAPI then builds no credential of it at all.
  bool keepDelegation = true;
  // A first token accepted on the thread's own krb5 context rather than by GSSAPI.
  std::optional<DirectAccepted> direct;
};

void RunAccept(gss_cred_id_t cred, Context& working, gss_buffer_desc& in, StepBindings& bindings, Accepted& step) {
  step.major = Fault("gss_accept_sec_context", step.minor);
  if (step.major == GSS_S_COMPLETE)
    step.major = gss_accept_sec_context(&step.minor, working.ctx.in_out(), cred, &in, bindings.Get(), step.peer.out(),
                                        &step.actual, step.out.out(), &step.agreed, &step.lifetime,
                                        step.keepDelegation ? step.delegated.out() : nullptr);
}

// Whether an acceptance failed for want of a key for the ticket's service: nothing of the ticket
// was decrypted, so the replay cache noted nothing of it either.
bool NoKeyFor(OM_uint32 minor) {
  return MinorIs(minor, KRB5_KT_NOTFOUND) || MinorIs(minor, KRB5KRB_AP_WRONG_PRINC) ||
         MinorIs(minor, KRB5KRB_AP_ERR_NOKEY) || MinorIs(minor, KRB5KRB_AP_ERR_NOT_US);
}

// A step of acceptance. A first step uses the credential of the policy's keys where there is one,
// and accepts a ticket that credential has no key for again with every key, so that a ticket for
// another service of the keytab is refused by the policy in its own words; later steps use the
// credential the first one did.
void AcceptStep(const Credential& credential, Context& working, bool first, gss_buffer_desc& in,
                StepBindings& bindings, Accepted& step) {
  if (first) working.keysChecked = credential.whole != nullptr;
  const bool whole = credential.whole && !working.keysChecked;
  RunAccept(whole ? credential.whole.get() : credential.cred.get(), working, in, bindings, step);
  if (!first || !GSS_ERROR(step.major) || !working.keysChecked || !NoKeyFor(step.minor)) return;
  working.ctx.reset();
  working.keysChecked = false;
  RunAccept(credential.whole.get(), working, in, bindings, step);
}

// A step of acceptance: a first token by the library's own acceptor where it takes it (with the
// policy's keys alone, which is the policy's check), else by GSSAPI, as every later token.
void RunStep(const Credential& credential, Context& working, bool first, gss_buffer_desc& in, StepBindings& bindings,
             Accepted& step) {
  if (first) step.direct = AcceptDirectly(credential, in, bindings.Get());
  if (!step.direct) return AcceptStep(credential, working, first, in, bindings, step);
  step.agreed = step.direct->flags;
  step.lifetime = step.direct->lifetime;
  step.actual = gss_mech_krb5;
  working.keysChecked = true;
}

// Nothing of an established context goes out before the server may keep it: not even the token
// that would prove the server to its client. A client that forwarded nothing (`kept` null) leaves
// its ticket as evidence.
SECURITY_STATUS AdmitStep(const Credential& own, Context& working, const Accepted& step,
                          std::shared_ptr<Delegation>& kept) {
  if (step.major != GSS_S_COMPLETE) return SEC_E_OK;
  const SECURITY_STATUS admitted =
      step.direct ? AdmitDirect(own, working, *step.direct)
                  : Admit(own, working, step.peer ? step.peer.get() : working.peer.get(),
                          step.actual != GSS_C_NO_OID ? step.actual : working.actual, working.keysChecked);
  if (admitted != SEC_E_OK) return admitted;
  if (!kept && !working.clientTicket.empty())
    kept = Delegation::KeepEvidence(step.direct ? step.direct->ticketFlags : TicketFlags(working.ctx.get()),
                                    std::move(working.clientTicket), working.clientPrincipal, step.lifetime, own);
  working.clientTicket = std::vector<uint8_t>();
  return SEC_E_OK;
}

SECURITY_STATUS WriteStepToken(PSecBufferDesc output, const Accepted& step) {
  return step.direct ? WriteToken(output, step.direct->out.data(), step.direct->out.size())
                     : WriteToken(output, step.out->value, step.out->length);
}

}  // namespace

Context* FindContext(const CtxtHandle* handle) {
  if (handle == nullptr || handle->dwLower != kContextTag) return nullptr;
  auto it = Contexts().find(handle->dwUpper);
  return it == Contexts().end() ? nullptr : &it->second;
}

SECURITY_STATUS InitializeContext(WorldLock& guard, PCredHandle credential, PCtxtHandle context, const WCHAR* target, ULONG requested,
                                  PSecBufferDesc input, PCtxtHandle newContext, PSecBufferDesc output,
                                  PULONG attributes, PTimeStamp expiry) {
  Credential* found = FindCredential(credential);
  if (found == nullptr || newContext == nullptr) return SEC_E_INVALID_HANDLE;
  if (found->use != SECPKG_CRED_OUTBOUND) return SEC_E_NO_CREDENTIALS;
  // A delegated credential stays while this step uses it, even when another thread frees its
  // handle meanwhile; one that ran out ends the context as on Windows.
  const std::shared_ptr<Delegation> delegation = found->delegation;
  if (context == nullptr && delegation && delegation->Expired()) return SEC_E_CONTEXT_EXPIRED;
  Context fresh;
  fresh.mechanism = found->mechanism;
  fresh.client = true;
  Context* working = nullptr;
  if (SECURITY_STATUS status = Working(context, true, fresh, working); status != SEC_E_OK) return status;
  if (context == nullptr) {
    if (SECURITY_STATUS status = NameTarget(target, fresh); status != SEC_E_OK) return status;
  }
  StepBindings bindings;
  if (SECURITY_STATUS read = bindings.Read(input); read != SEC_E_OK) return read;
  gss_buffer_desc in = InputToken(input);
  GssBuffer out;
  OM_uint32 minor = 0, agreed = 0, lifetime = 0;
  // The step goes without the lock (a first one may wait on the KDC for a ticket), on a context no
  // other thread reaches meanwhile; the credential stays, even when another thread frees its
  // handle.
  const SharedCredential cred = found->cred;
  SetAside aside(guard, context);
  working = &aside.Record(fresh);
  working->requested = requested;
  guard.unlock();
  OM_uint32 major = Fault("gss_init_sec_context", minor);
  if (major == GSS_S_COMPLETE)
    major = gss_init_sec_context(&minor, cred.get(), working->ctx.in_out(), working->target.get(),
                                 working->mechanism->oid, GssFlags(requested), 0, bindings.Get(), &in, nullptr,
                                 out.out(), &agreed, &lifetime);
  guard.lock();
  if (GSS_ERROR(major)) {
    // The KDC refuses a constrained delegation to a target the service may not reach with
    // BADOPTION.
    const bool refused = delegation && delegation->Constrained() && MinorIs(minor, KRB5KDC_ERR_BADOPTION);
    const SECURITY_STATUS status = Failed("gss_init_sec_context", major, minor, working->mechanism->oid, false);
    if (!refused) return status;
    TraceRefusal("constrained delegation",
                 ("the KDC would not issue the ticket (KDC_ERR_BADOPTION): " +
                  SecondHopCause("the target is not among the services this one may delegate to"
                                 " (msDS-AllowedToDelegateTo)")).c_str());
    return SEC_E_DELEGATION_POLICY;
  }
  if (SECURITY_STATUS written = WriteToken(output, out->value, out->length); written != SEC_E_OK) return written;
  Conclude(*working, major, agreed, lifetime, Handles{context, newContext, attributes, expiry});
  return StatusOf(major, minor, false);
}

SECURITY_STATUS AcceptContext(WorldLock& guard, PCredHandle credential, PCtxtHandle context, PSecBufferDesc input,
                              ULONG requested, PCtxtHandle newContext, PSecBufferDesc output, PULONG attributes,
                              PTimeStamp expiry) {
  Credential* found = FindCredential(credential);
  if (found == nullptr || newContext == nullptr) return SEC_E_INVALID_HANDLE;
  if (found->use != SECPKG_CRED_INBOUND) return SEC_E_NO_CREDENTIALS;
  Context fresh;
  fresh.mechanism = found->mechanism;
  Context* working = nullptr;
  if (SECURITY_STATUS status = Working(context, false, fresh, working); status != SEC_E_OK) return status;
  StepBindings bindings;
  if (SECURITY_STATUS read = bindings.Read(input); read != SEC_E_OK) return read;
  // The step is accepted and its client admitted without the lock, on a copy of the credential
  // (its policy, realms and the shared GSSAPI credentials), which stays while the call uses it even
  // when another thread frees the handle meanwhile, and on a context that no other thread reaches.
  const bool keepDelegation = DelegationSetting() != DelegationPolicy::Off;
  const Credential own = *found;
  SetAside aside(guard, context);
  working = &aside.Record(fresh);
  working->requested = requested;
  guard.unlock();
  gss_buffer_desc in = InputToken(input);
  Accepted step;
  step.keepDelegation = keepDelegation;
  RunStep(own, *working, context == nullptr, in, bindings, step);
  step.major = RequireBindings(step.major, step.agreed, requested, bindings);
  if (GSS_ERROR(step.major)) return Failed("gss_accept_sec_context", step.major, step.minor, working->mechanism->oid, true);
  // An authenticator accepted before goes no further; a new context goes with this call.
  if (SECURITY_STATUS first = CheckReplay(in, *working, step.major, step.actual); first != SEC_E_OK)
    return first;
  // What the client delegated, unless the site keeps nothing of the kind.
  std::shared_ptr<Delegation> kept;
  if (step.delegated) kept = Delegation::Keep(std::move(step.delegated));
  // A server that can ask for a second hop keeps the client's ticket from the leg that carried it.
  if (own.service) {
    if (std::optional<std::vector<uint8_t>> ticket = TicketOf(in)) working->clientTicket = std::move(*ticket);
  }
  if (SECURITY_STATUS admitted = AdmitStep(own, *working, step, kept); admitted != SEC_E_OK) return admitted;
  if (SECURITY_STATUS written = WriteStepToken(output, step); written != SEC_E_OK) return written;
  if (step.direct) working->direct = std::move(step.direct->session);
  if (step.peer) working->peer = std::move(step.peer);
  if (step.actual != GSS_C_NO_OID) working->actual = step.actual;
  if (kept) working->delegation = std::move(kept);
  // Evidence for constrained delegation is no delegation by the client.
  OM_uint32 agreed = step.agreed;
  if (!working->delegation || working->delegation->Constrained()) agreed &= ~GSS_C_DELEG_FLAG;
  guard.lock();
  Conclude(*working, step.major, agreed, step.lifetime, Handles{context, newContext, attributes, expiry});
  return StatusOf(step.major, step.minor, true);
}

SECURITY_STATUS WorkAside(WorldLock& guard, PCtxtHandle handle, const std::function<SECURITY_STATUS(Context&)>& work) {
  const Context* found = FindContext(handle);
  if (found == nullptr || !found->established) return SEC_E_INVALID_HANDLE;
  SetAside aside(guard, handle);
  Context unused;
  Context& context = aside.Record(unused);
  guard.unlock();
  return work(context);
}

SECURITY_STATUS DeleteContext(WorldLock& guard, PCtxtHandle handle) {
  if (FindContext(handle) == nullptr) return SEC_E_INVALID_HANDLE;
  // Off the table under the lock, freed without it: GSSAPI's deletion and the release of its names
  // each make a krb5 context, which waits on krb5's own lock of its configuration.
  auto taken = Contexts().extract(handle->dwUpper);
  AddLive("context", -1);
  guard.unlock();
  taken = {};
  return SEC_E_OK;
}

}  // namespace winhost::system::kerberos
