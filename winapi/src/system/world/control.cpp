// The control interface over the system world, for the tests of the machine's own services:
// linked only into the system world's test host, never into the shipped one.
#include "common/registry.h"
#include "common/world.h"
#include "system/directory/accounts.h"
#include "system/kerberos/gss_host.h"
#include "system/registry/registry_store.h"
#include "winhost/control.h"
#include "winhost/control_host.h"

namespace winhost {

using namespace system;

World CurrentWorld() { return World::System; }

// The process user is the real one.
std::string ProcessUserName() { return common::Narrow(directory::SystemProcessUser().name); }

std::string ProcessUserQualifiedName() { return common::Narrow(directory::SystemProcessUser().QualifiedName()); }

std::string CommonAppDataFolder() {
  WorldGuard guard(WorldMutex());
  return world::CommonAppDataFolder();
}

// The Kerberos configuration and DNS answer the domain-controller check here; the simulated
// host's setting has no part in it.
void SetDomainControllerStatus(uint32_t, const std::string&) {}

void* GssContextOf(uintptr_t lower, uintptr_t upper) {
  WorldGuard guard(WorldMutex());
  const CtxtHandle handle{static_cast<ULONG_PTR>(lower), static_cast<ULONG_PTR>(upper)};
  const kerberos::Context* context = kerberos::FindContext(&handle);
  return context == nullptr ? nullptr : context->ctx.get();
}

// ---- the registry store --------------------------------------------------------------------

void SetRegistryStore(const std::string& path) {
  WorldGuard guard(WorldMutex());
  registry::SetStorePath(path);
}

std::string RegistryStore() {
  WorldGuard guard(WorldMutex());
  return registry::StorePath();
}

void CreateRegistryKey(View view, const std::string& path) {
  if (auto stored = StoredPath(view, path)) registry::CreateKey(*stored);
}

bool RegistryKeyExists(View view, const std::string& path) {
  auto stored = StoredPath(view, path);
  std::u16string found;
  return stored && registry::FindKey(*stored, found) == ERROR_SUCCESS;
}

void DeleteRegistryKey(View view, const std::string& path) {
  if (auto stored = StoredPath(view, path)) registry::DeleteKey(*stored);
}

std::vector<std::string> RegistryKeys() {
  std::vector<std::string> paths;
  for (const auto& path : registry::Keys()) paths.push_back(common::Narrow(path));
  return paths;
}

void SetRegistryValue(View view, const std::string& path, const std::string& name, const RegistryValue& value) {
  auto stored = StoredPath(view, path);
  if (stored && registry::CreateKey(*stored) == ERROR_SUCCESS) registry::WriteValue(*stored, WideOf(name), value);
}

std::optional<RegistryValue> GetRegistryValue(View view, const std::string& path, const std::string& name) {
  auto stored = StoredPath(view, path);
  RegistryValue value;
  if (stored && registry::ReadValue(*stored, WideOf(name), value) == ERROR_SUCCESS) return value;
  return std::nullopt;
}

void DeleteRegistryValue(View view, const std::string& path, const std::string& name) {
  if (auto stored = StoredPath(view, path)) registry::DeleteValue(*stored, WideOf(name));
}

}  // namespace winhost
