// Protected messages between established peers through SSPI.Wrap and SSPI.Unwrap.
#include <algorithm>

#include "sspi/exchange_support.h"

using namespace api::sspi;

namespace {

// Token lengths of the stand-in packages: a stream package's 16-byte token fills its trailer; a
// block package's 56-byte token leaves 4 of its 60 unused.
constexpr size_t kStreamToken = 16;
constexpr size_t kBlockToken = 56;

class MessageProtectionTest : public JvmTest {
 protected:
  void TearDown() override {
    for (int handle : handles_) FreeHandle(handle);
    EXPECT_EQ(winhost::LiveCount("context"), 0);
    JvmTest::TearDown();
  }
  exchange::Peers Established(const char16_t* package, int flags) {
    exchange::Peers peers;
    exchange::Handshake(package, flags, peers);
    handles_.push_back(peers.client);
    handles_.push_back(peers.server);
    return peers;
  }

 private:
  std::vector<int> handles_;
};

bool Contains(const std::vector<uint8_t>& haystack, const std::string& needle) {
  return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end()) != haystack.end();
}

std::string Failure(SECURITY_STATUS status) {
  char text[64];
  std::snprintf(text, sizeof text, "WinAuthException: Platform error: %08x", static_cast<unsigned>(status));
  return text;
}

TEST_F(MessageProtectionTest, BothDirectionsEveryPackageWithAndWithoutConfidentiality) {
  for (const char16_t* package : {u"Negotiate", u"NTLM", u"Kerberos"}) {
    for (bool confidential : {true, false}) {
      SCOPED_TRACE(winhost::Narrow(package) + (confidential ? " sealed" : " signed"));
      exchange::Peers peers;
      ASSERT_NO_FATAL_FAILURE(peers = Established(package, confidential ? ISC_REQ_CONFIDENTIALITY : 0));
      const std::pair<int, int> directions[] = {{peers.client, peers.server}, {peers.server, peers.client}};
      for (auto [from, to] : directions) {
        const std::string text = "payroll for " + std::to_string(from) + " -> " + std::to_string(to);
        winhost::ClearJournal();
        auto wrapped = Wrap(from, B(text));
        ASSERT_TRUE(wrapped.ok()) << wrapped;
        // Sealed data cannot be read on the way; signed data can.
        EXPECT_EQ(Contains(*wrapped.value, text), !confidential);
        auto unwrapped = Unwrap(to, wrapped.value);
        ASSERT_TRUE(unwrapped.ok()) << unwrapped;
        EXPECT_EQ(unwrapped.value, B(text));

        auto encrypt = winhost::JournalOf("EncryptMessage");
        ASSERT_EQ(encrypt.size(), 1u);
        EXPECT_EQ(encrypt[0].Arg("qop"), confidential ? "0x00000000" : "0x80000001");
        EXPECT_EQ(encrypt[0].Arg("sequence"), "0");
        auto decrypt = winhost::JournalOf("DecryptMessage");
        ASSERT_EQ(decrypt.size(), 1u);
        EXPECT_EQ(decrypt[0].Arg("sequence"), "0");
        EXPECT_EQ(decrypt[0].Arg("qop"), "null");
        EXPECT_EQ(decrypt[0].Arg("buffers"), "10:" + std::to_string(wrapped.value->size()) + ",1:0/null");
      }
    }
  }
}

// The wrapped message is the token, the data and the padding end to end, nothing else.
TEST_F(MessageProtectionTest, LayoutIsTokenDataPadding) {
  auto kerberos = Established(u"Kerberos", ISC_REQ_CONFIDENTIALITY);
  auto ntlm = Established(u"NTLM", ISC_REQ_CONFIDENTIALITY);
  auto signedOnly = Established(u"Kerberos", 0);
  struct Case {
    const char* name;
    int handle;
    size_t length;
    size_t expected;
    const char* buffers;  // what EncryptMessage was given
  };
  const Case cases[] = {
      {"block cipher, padded", kerberos.client, 5, kBlockToken + 5 + 11, "2:60,1:5,9:16"},
      {"block cipher, on a block boundary", kerberos.server, 32, kBlockToken + 32, "2:60,1:32,9:16"},
      {"block cipher, empty message", kerberos.client, 0, kBlockToken, "2:60,1:0/null,9:16"},
      {"signed only, never padded", signedOnly.client, 5, kBlockToken + 5, "2:60,1:5,9:16"},
      {"stream cipher, no padding buffer", ntlm.server, 7, kStreamToken + 7, "2:16,1:7,9:0/null"},
      {"stream cipher, empty message", ntlm.client, 0, kStreamToken, "2:16,1:0/null,9:0/null"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<uint8_t> message(c.length, 0x41);
    winhost::ClearJournal();
    auto wrapped = Wrap(c.handle, message);
    ASSERT_TRUE(wrapped.ok()) << wrapped;
    EXPECT_EQ(wrapped.value->size(), c.expected);
    EXPECT_EQ(winhost::JournalOf("EncryptMessage").at(0).Arg("buffers"), c.buffers);
    // The peer gets the message back, an empty one as an empty array.
    const int peer = c.handle == kerberos.client   ? kerberos.server
                     : c.handle == kerberos.server ? kerberos.client
                     : c.handle == signedOnly.client ? signedOnly.server
                     : c.handle == ntlm.server     ? ntlm.client
                                                   : ntlm.server;
    auto unwrapped = Unwrap(peer, wrapped.value);
    ASSERT_TRUE(unwrapped.ok()) << unwrapped;
    EXPECT_EQ(unwrapped.value, jvm::JBytes(message));
  }
}

TEST_F(MessageProtectionTest, RefusedMessagesLeaveTheContextWorking) {
  auto peers = Established(u"Kerberos", ISC_REQ_CONFIDENTIALITY);
  auto stream = Established(u"NTLM", ISC_REQ_CONFIDENTIALITY);
  auto stranger = Established(u"Kerberos", ISC_REQ_CONFIDENTIALITY);
  const std::vector<uint8_t> good = *Wrap(peers.client, B("transfer 100 to alice")).value;
  const std::vector<uint8_t> streamGood = *Wrap(stream.client, B("transfer 100 to alice")).value;

  auto changed = [](std::vector<uint8_t> bytes, size_t at) {
    bytes[at] ^= 0x01;
    return bytes;
  };
  auto cut = [](std::vector<uint8_t> bytes, size_t length) {
    bytes.resize(length);
    return bytes;
  };
  struct Case {
    const char* name;
    int receiver;
    std::vector<uint8_t> message;
    SECURITY_STATUS status;
  };
  const Case cases[] = {
      {"a data byte changed", peers.server, changed(good, kBlockToken + 3), SEC_E_MESSAGE_ALTERED},
      {"a signature byte changed", peers.server, changed(good, kBlockToken - 1), SEC_E_MESSAGE_ALTERED},
      {"the padding changed", peers.server, changed(good, good.size() - 1), SEC_E_MESSAGE_ALTERED},
      {"the flags changed", peers.server, changed(good, 2), SEC_E_MESSAGE_ALTERED},
      {"the token id changed", peers.server, changed(good, 0), SEC_E_INVALID_TOKEN},
      {"cut by one byte", peers.server, cut(good, good.size() - 1), SEC_E_INCOMPLETE_MESSAGE},
      {"cut by one block", peers.server, cut(good, good.size() - 16), SEC_E_MESSAGE_ALTERED},
      {"cut inside the token", peers.server, cut(good, 20), SEC_E_INCOMPLETE_MESSAGE},
      {"empty", peers.server, {}, SEC_E_INCOMPLETE_MESSAGE},
      {"longer", peers.server, [&] { auto b = good; b.push_back(0); return b; }(), SEC_E_INCOMPLETE_MESSAGE},
      {"for another context", stranger.server, good, SEC_E_MESSAGE_ALTERED},
      {"sent back to its sender", peers.client, good, SEC_E_MESSAGE_ALTERED},
      {"stream: cut by one byte", stream.server, cut(streamGood, streamGood.size() - 1), SEC_E_MESSAGE_ALTERED},
      {"stream: a data byte changed", stream.server, changed(streamGood, kStreamToken), SEC_E_MESSAGE_ALTERED},
      {"stream: for another package", peers.server, streamGood, SEC_E_INCOMPLETE_MESSAGE},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto refused = Unwrap(c.receiver, c.message);
    EXPECT_EQ(refused.Failure(), Failure(c.status));
    EXPECT_FALSE(refused.value.has_value());
    // The next good message goes through, on the same context.
    const int sender = c.receiver == peers.client ? peers.server : c.receiver == stream.server ? stream.client
                       : c.receiver == stranger.server ? stranger.client : peers.client;
    auto next = Unwrap(c.receiver, Wrap(sender, B("next")).value);
    ASSERT_TRUE(next.ok()) << next;
    EXPECT_EQ(next.value, B("next"));
  }
  // The first message was never consumed by the refusals: it still unwraps, twice.
  EXPECT_EQ(Unwrap(peers.server, good).value, B("transfer 100 to alice"));
  EXPECT_EQ(Unwrap(peers.server, good).value, B("transfer 100 to alice"));
}

TEST_F(MessageProtectionTest, RefusedBeforeAndOutsideSuccess) {
  auto done = Established(u"NTLM", ISC_REQ_CONFIDENTIALITY);
  const int fresh = CreateContext(false, 0, J(u"NTLM"), std::nullopt).value;
  const int negotiating = CreateContext(true, 0, J(u"NTLM"), std::nullopt).value;
  const int failed = CreateContext(false, 0, J(u"NTLM"), std::nullopt).value;
  Accept(failed, B("garbage"));
  const std::vector<uint8_t> wrapped = *Wrap(done.client, B("x")).value;

  winhost::ClearJournal();
  // A null array is refused first, whatever the handle.
  for (int handle : {done.client, 0}) {
    EXPECT_EQ(Wrap(handle, std::nullopt).Failure(), "WinAuthException: Message cannot be null");
    EXPECT_EQ(Unwrap(handle, std::nullopt).Failure(), "WinAuthException: Message cannot be null");
  }
  for (int handle : {0, -7, 424242}) {
    EXPECT_EQ(Wrap(handle, B("x")).Failure(), "WinAuthException: Invalid handle");
    EXPECT_EQ(Unwrap(handle, wrapped).Failure(), "WinAuthException: Invalid handle");
  }
  for (int handle : {fresh, negotiating, failed}) {
    EXPECT_EQ(Wrap(handle, B("x")).Failure(), "WinAuthException: Invalid state");
    EXPECT_EQ(Unwrap(handle, wrapped).Failure(), "WinAuthException: Invalid state");
  }
  EXPECT_TRUE(winhost::Journal().empty());
  for (int handle : {fresh, negotiating, failed}) FreeHandle(handle);
}

TEST_F(MessageProtectionTest, PackageFailuresAreReportedAndTheContextGoesOn) {
  auto peers = Established(u"Negotiate", ISC_REQ_CONFIDENTIALITY);
  winhost::Fail("EncryptMessage", SEC_E_INSUFFICIENT_MEMORY);
  EXPECT_EQ(Wrap(peers.server, B("x")).Failure(), Failure(SEC_E_INSUFFICIENT_MEMORY));
  auto wrapped = Wrap(peers.server, B("after"));
  ASSERT_TRUE(wrapped.ok()) << wrapped;
  winhost::Fail("DecryptMessage", SEC_E_OUT_OF_SEQUENCE);
  EXPECT_EQ(Unwrap(peers.client, wrapped.value).Failure(), Failure(SEC_E_OUT_OF_SEQUENCE));
  EXPECT_EQ(Unwrap(peers.client, wrapped.value).value, B("after"));
  EXPECT_TRUE(GetMaxTokenSize(peers.client).ok()) << "a refused message must not change the context's state";
}

TEST_F(MessageProtectionTest, EachWrapIsFreshAndLargeMessagesRoundTrip) {
  auto peers = Established(u"Kerberos", ISC_REQ_CONFIDENTIALITY | ISC_REQ_MUTUAL_AUTH);
  auto first = Wrap(peers.client, B("same"));
  auto second = Wrap(peers.client, B("same"));
  EXPECT_NE(first.value, second.value) << "two messages under one key must not look alike";
  EXPECT_EQ(Unwrap(peers.server, second.value).value, B("same"));
  EXPECT_EQ(Unwrap(peers.server, first.value).value, B("same"));

  std::vector<uint8_t> large(300000);
  for (size_t i = 0; i < large.size(); ++i) large[i] = static_cast<uint8_t>(i * 7);
  auto wrapped = Wrap(peers.server, large);
  ASSERT_TRUE(wrapped.ok()) << wrapped;
  EXPECT_EQ(Unwrap(peers.client, wrapped.value).value, jvm::JBytes(large));
}

// A package whose trailer is 0 bytes gets an empty token buffer, and its status is reported.
TEST_F(MessageProtectionTest, NoTrailerGivesThePackageAnEmptyTokenBuffer) {
  winhost::SetPackageSizes("NTLM", {2888, 16, 0, 0});
  auto peers = Established(u"NTLM", ISC_REQ_CONFIDENTIALITY);
  winhost::ClearJournal();
  EXPECT_EQ(Wrap(peers.client, B("x")).Failure(), Failure(SEC_E_BUFFER_TOO_SMALL));
  EXPECT_EQ(winhost::JournalOf("EncryptMessage").at(0).Arg("buffers"), "2:0/null,1:1,9:0/null");
}

TEST_F(MessageProtectionTest, CallersArraysAreNotWritten) {
  auto peers = Established(u"Kerberos", ISC_REQ_CONFIDENTIALITY);
  const std::vector<uint8_t> plain = B("do not touch").value();
  EXPECT_EQ(exchange::ArrayAfterCall("Wrap", "(I[B)[B", peers.client, plain), plain);
  const std::vector<uint8_t> wrapped = *Wrap(peers.client, plain).value;
  EXPECT_EQ(exchange::ArrayAfterCall("Unwrap", "(I[B)[B", peers.server, wrapped), wrapped);
  // The package decrypts in place: only the library's copy may change, also when it refuses.
  std::vector<uint8_t> altered = wrapped;
  altered.back() ^= 0x80;
  EXPECT_EQ(exchange::ArrayAfterCall("Unwrap", "(I[B)[B", peers.server, altered), altered);
  EXPECT_EQ(exchange::ArrayAfterCall("Wrap", "(I[B)[B", 0, plain), plain);
}

}  // namespace
