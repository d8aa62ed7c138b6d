// Java strings of any UTF-16 units (unpaired surrogates, U+0000) through every string-taking
// operation; the first byte picks the operation.
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  native::Session& s = fuzz::TheSession();
  if (size == 0) return 0;
  const std::u16string text = fuzz::Units(data + 1, size - 1);
  fuzz::Unchanged unchanged;
  native::Outcome outcome;
  switch (data[0] % 7) {
    case 0:
    case 1: {
      // The package, then the target, of a client or a server.
      const bool client = data[0] % 2 == 0;
      outcome = s.CreateContext(client, 0, client ? std::u16string(u"Negotiate") : text, text);
      s.FreeHandle(outcome.handle);
      break;
    }
    case 2:
      outcome = s.GetHKLMStringRegValue(text, text, data[0] & 8);
      break;
    case 3:
      outcome = s.SetHKLMStringRegValue(u"SOFTWARE", text.substr(0, 64), text, data[0] & 8);
      break;
    case 4:
      outcome = s.SetHKLMIntRegValue(text, u"Value", 7, data[0] & 8);
      break;
    case 5:
      outcome = s.GetCommonAppDataFilePath(text);
      break;
    default: {
      outcome = s.CreateUserContext(text);
      s.FreeUserHandle(outcome.handle);
      break;
    }
  }
  fuzz::ExpectDocumented(outcome, "a string-taking operation");
  return 0;
}
