// Token bytes from anywhere: the first byte picks the step (a server's first Accept, a client's
// Initialize after the server's challenge, an Unwrap on an established pair); the rest is the token.
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  native::Session& s = fuzz::TheSession();
  const int client = fuzz::Established().client, server = fuzz::Established().server;
  if (size == 0) return 0;
  const std::vector<uint8_t> token(data + 1, data + size);
  fuzz::Unchanged unchanged;
  switch (data[0] % 4) {
    case 0: {
      const int fresh = s.CreateContext(false, 0, u"Negotiate", std::nullopt).handle;
      fuzz::ExpectDocumented(s.Accept(fresh, token), "Accept");
      s.FreeHandle(fresh);
      break;
    }
    case 1: {
      const int fresh = s.CreateContext(false, 0, u"Kerberos", std::nullopt).handle;
      fuzz::ExpectDocumented(s.Accept(fresh, token), "Accept");
      s.FreeHandle(fresh);
      break;
    }
    case 2: {
      int c = 0, v = 0;
      v = s.CreateContext(false, 0, u"NTLM", std::nullopt).handle;
      c = s.CreateContext(true, 0, u"NTLM", u"HTTP/web").handle;
      s.Accept(v, s.GetChallengeToken(c).bytes);
      fuzz::ExpectDocumented(s.Initialize(c, token), "Initialize");
      s.FreeHandle(c);
      s.FreeHandle(v);
      break;
    }
    default:
      fuzz::ExpectDocumented(s.Unwrap(data[0] & 4 ? client : server, token), "Unwrap");
      break;
  }
  return 0;
}
