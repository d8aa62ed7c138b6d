// The stress driver: threads over both families and WinUtil for a bounded time, one of them
// freeing handles that others are using. Written against any "calls" type with the methods of
// native::Session (results as native::Outcome), so that the same driver runs over the fake JNI
// (under ThreadSanitizer) and through a real JVM.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <windows.h>  // the stand-in host's constants

#include "winhost/control.h"

#include "harness/native/session.h"

namespace native {

// Carries tokens between a new client and a new server of `package` until both are established.
template <typename Calls>
bool Handshake(Calls& calls, const std::u16string& package, int clientFlags, int& client, int& server,
               const std::u16string& target = u"HTTP/web.example.test") {
  server = calls.CreateContext(false, 0, package, std::nullopt).handle;
  client = calls.CreateContext(true, clientFlags, package, target).handle;
  if (server == 0 || client == 0) return false;
  bool clientDone = calls.GetNegotiatedAttributes(client).ok(), serverDone = false;
  for (int leg = 0; leg < 8 && !(clientDone && serverDone); ++leg) {
    const bool toServer = leg % 2 == 0;
    Outcome token = calls.GetChallengeToken(toServer ? client : server);
    if (!token.ok()) return false;
    if (toServer) {
      if (serverDone) continue;
      Outcome accepted = calls.Accept(server, token.bytes);
      if (!accepted.ok()) return false;
      serverDone = accepted.text == "ok:true";
    } else if (!clientDone && !token.bytes.empty()) {
      Outcome initialized = calls.Initialize(client, token.bytes);
      if (!initialized.ok()) return false;
      clientDone = initialized.text == "ok:true";
    }
  }
  return clientDone && serverDone;
}

struct StressResult {
  long calls = 0;
  long pairs = 0;
  long freedByOthers = 0;
  std::vector<std::string> failures;
};

// The thread beside the others that frees servers they still use: while `going` says so, it takes
// each server offered in `shared`, records it in `freed` (so that its owner may expect "Invalid
// handle" of it) and frees it.
template <typename Calls, typename Going>
void FreeOfferedServers(Calls& c, const Going& going, std::mutex& mutex, std::vector<int>& shared,
                        std::set<int>& freed, std::atomic<long>& calls) {
  while (going()) {
    int victim = 0;
    {
      std::lock_guard<std::mutex> guard(mutex);
      if (!shared.empty()) {
        victim = shared.back();
        shared.pop_back();
        freed.insert(victim);
      }
    }
    if (victim == 0) {
      std::this_thread::yield();
      continue;
    }
    c.FreeHandle(victim);
    ++calls;
  }
}

template <typename Calls>
StressResult RunStress(const std::function<std::unique_ptr<Calls>()>& makeCalls, std::chrono::milliseconds duration) {
  StressResult result;
  std::mutex mutex;
  std::set<int> issued;           // every SSPI handle seen, to find a duplicate
  std::vector<int> shared;        // servers offered to the thread that frees others' handles
  std::set<int> freedByOthers;    // servers that thread did free
  std::atomic<long> calls{0};
  const auto deadline = std::chrono::steady_clock::now() + duration;
  auto running = [&] { return std::chrono::steady_clock::now() < deadline; };
  auto fail = [&](const std::string& what) {
    std::lock_guard<std::mutex> guard(mutex);
    if (result.failures.size() < 20) result.failures.push_back(what);
  };

  auto sspi = [&](std::u16string package) {
    auto c = makeCalls();
    int last = 0;
    for (long round = 0; running(); ++round) {
      int client = 0, server = 0;
      const bool shake = Handshake(*c, package, ISC_REQ_CONFIDENTIALITY, client, server);
      calls += 6;
      {
        std::lock_guard<std::mutex> guard(mutex);
        for (int handle : {server, client})
          if (handle != 0 && !issued.insert(handle).second) result.failures.push_back("handle issued twice");
        if (shake) ++result.pairs;
        if (shake && round % 4 == 0) shared.push_back(server);
      }
      if (!shake) fail("a handshake failed");
      if (server <= last || client <= server) fail("handles not increasing");
      last = client;
      const std::vector<uint8_t> message = {'r', static_cast<uint8_t>(round), 'x'};
      for (int i = 0; i < 2 && shake; ++i) {
        const int from = i == 0 ? client : server, to = i == 0 ? server : client;
        Outcome wrapped = c->Wrap(from, message);
        Outcome plain = wrapped.ok() ? c->Unwrap(to, wrapped.bytes) : wrapped;
        calls += 2;
        if (plain.ok() && plain.bytes == message) continue;
        std::lock_guard<std::mutex> guard(mutex);
        // Only a server another thread freed may answer "Invalid handle".
        if (!(freedByOthers.count(server) != 0 && plain.text == "WinAuthException: Invalid handle"))
          result.failures.push_back("round trip: " + plain.text);
      }
      c->FreeHandle(client);
      c->FreeHandle(server);
      calls += 2;
    }
  };
  auto userAuth = [&] {
    auto c = makeCalls();
    while (running()) {
      Outcome user = c->CreateUserContext(u"WINHOST\\appuser");
      Outcome member = c->IsUserGroupMember(user.handle, u"BUILTIN\\Users");
      c->FreeUserHandle(user.handle);
      calls += 3;
      if (!user.ok() || member.text != "ok:true") fail("user context: " + user.text + " " + member.text);
    }
  };
  auto winUtil = [&] {
    auto c = makeCalls();
    for (int round = 0; running(); ++round) {
      const std::u16string value = u"v" + std::u16string(1, static_cast<char16_t>(u'a' + round % 26));
      Outcome set = c->SetHKLMStringRegValue(u"SOFTWARE", u"StressValue", value, true);
      Outcome get = c->GetHKLMStringRegValue(u"SOFTWARE", u"StressValue", true);
      Outcome name = c->GetComputerNameNetBIOS();
      calls += 3;
      // Only this thread writes the value.
      if (set.text != "ok:0" || get.text != "ok:" + Utf8(value) || !name.ok()) fail("registry: " + get.text);
    }
  };
  auto freer = [&] { FreeOfferedServers(*makeCalls(), running, mutex, shared, freedByOthers, calls); };

  std::vector<std::thread> threads;
  threads.emplace_back(sspi, u"Negotiate");
  threads.emplace_back(sspi, u"Kerberos");
  threads.emplace_back(userAuth);
  threads.emplace_back(winUtil);
  threads.emplace_back(freer);
  for (std::thread& thread : threads) thread.join();
  result.calls = calls.load();
  result.freedByOthers = static_cast<long>(freedByOthers.size());
  return result;
}

// Sign-ons of `threads` threads at once on `package`, each a handshake to `target`, the client's
// name asked, one message each way, both contexts freed; beside them one thread frees servers the
// others still use. The server's answers must agree with the client's name on every round.
template <typename Calls>
StressResult RunSignOnStress(const std::function<std::unique_ptr<Calls>()>& makeCalls, int threads,
                             const std::u16string& package, const std::u16string& target,
                             std::chrono::milliseconds duration) {
  StressResult result;
  std::mutex mutex;
  std::vector<int> shared;
  std::set<int> freedByOthers;
  std::atomic<long> calls{0};
  std::string firstName;
  const auto deadline = std::chrono::steady_clock::now() + duration;
  auto fail = [&](const std::string& what) {
    std::lock_guard<std::mutex> guard(mutex);
    if (result.failures.size() < 20) result.failures.push_back(what);
  };
  // Only a server another thread freed may answer "Invalid handle".
  auto freedElsewhere = [&](int server, const Outcome& outcome) {
    std::lock_guard<std::mutex> guard(mutex);
    return freedByOthers.count(server) != 0 && outcome.text == "WinAuthException: Invalid handle";
  };
  auto signOns = [&] {
    auto c = makeCalls();
    for (long round = 0; std::chrono::steady_clock::now() < deadline; ++round) {
      int client = 0, server = 0;
      const bool shake = Handshake(*c, package, ISC_REQ_CONFIDENTIALITY | ISC_REQ_MUTUAL_AUTH, client, server, target);
      if (shake && round % 3 == 0) {
        std::lock_guard<std::mutex> guard(mutex);
        shared.push_back(server);
      }
      Outcome name;
      name.text = "no handshake";
      if (shake) name = c->GetClientUserName(server);
      const std::vector<uint8_t> message = {'s', static_cast<uint8_t>(round)};
      Outcome wrapped = shake ? c->Wrap(server, message) : name;
      Outcome plain = wrapped.ok() ? c->Unwrap(client, wrapped.bytes) : wrapped;
      // And back: the server opens the client's message, which another thread may have freed.
      Outcome back = plain.ok() ? c->Wrap(client, message) : plain;
      if (back.ok()) back = c->Unwrap(server, back.bytes);
      if (plain.ok()) plain = back;
      calls += 10;
      if (!shake) {
        fail("a handshake failed");
      } else if (!freedElsewhere(server, plain)) {
        std::lock_guard<std::mutex> guard(mutex);
        if (firstName.empty()) firstName = name.text;
        if (!name.ok() || name.text != firstName) result.failures.push_back("client name: " + name.text);
        if (!plain.ok() || plain.bytes.size() != 2) result.failures.push_back("messages both ways: " + plain.text);
        ++result.pairs;
      }
      c->FreeHandle(client);
      c->FreeHandle(server);
    }
  };
  auto freer = [&] {
    FreeOfferedServers(*makeCalls(), [&] { return std::chrono::steady_clock::now() < deadline; }, mutex, shared,
                       freedByOthers, calls);
  };
  std::vector<std::thread> running;
  for (int i = 0; i < threads; ++i) running.emplace_back(signOns);
  running.emplace_back(freer);
  for (std::thread& thread : running) thread.join();
  result.calls = calls.load();
  result.freedByOthers = static_cast<long>(freedByOthers.size());
  return result;
}

// What every stress run must show at its end, whoever made its calls: no failure, enough pairs
// made and servers freed under other threads, and nothing held beyond `before`; then its figures,
// under `label`.
inline void ExpectStressEndedClean(const StressResult& result, const std::map<std::string, int>& before,
                                   const char* label) {
  for (const std::string& failure : result.failures) ADD_FAILURE() << failure;
  EXPECT_GT(result.pairs, 10);
  EXPECT_GT(result.freedByOthers, 0);
  EXPECT_EQ(winhost::LiveCounts(), before) << "something is still held after every handle was freed";
  std::printf("%s: %ld calls, %ld established pairs, %ld servers freed by another thread\n", label, result.calls,
              result.pairs, result.freedByOthers);
}

}  // namespace native
