// Registry values of every type and size, read back as text: the reader must give the value's
// UTF-16 units up to the first NUL (an odd last byte standing alone), null for an empty value.
#include <cstring>

#include "fuzz_support.h"
#include "winhost/control_host.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  native::Session& s = fuzz::TheSession();
  if (size < 4) return 0;
  winhost::RegistryValue value;
  std::memcpy(&value.type, data, 4);
  value.data.assign(data + 4, data + size);
  winhost::SetRegistryValue(winhost::View::k64, "SOFTWARE\\Fuzz", "Value", value);

  std::u16string expected;
  for (size_t at = 0; at < value.data.size(); at += 2) {
    char16_t unit = value.data[at];
    if (at + 1 < value.data.size()) unit = static_cast<char16_t>(unit | (value.data[at + 1] << 8));
    if (unit == 0) break;
    expected.push_back(unit);
  }
  fuzz::Unchanged unchanged;
  native::Outcome read = s.GetHKLMStringRegValue(u"SOFTWARE\\Fuzz", u"Value", (data[0] & 1) != 0);
  const std::string want = value.data.empty() ? "ok:<null>" : "ok:" + native::Utf8(expected);
  if (read.text != want) fuzz::Broken("read " + read.text + ", wanted " + want);
  return 0;
}
