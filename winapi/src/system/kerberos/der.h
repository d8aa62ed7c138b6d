// A reader of DER elements, enough to find a field in Kerberos's and SPNEGO's messages without
// decoding them: definite lengths only, as DER and every Kerberos and SPNEGO encoder write them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace winhost::system::kerberos {

// What is left of a run of DER elements: each Next takes one off the front.
struct Der {
  const uint8_t* at;
  size_t left;

  // The next element's tag and contents, and `whole` its tag, length and contents together.
  bool Next(uint8_t& tag, Der& contents, Der* whole = nullptr) {
    if (left < 2) return false;
    tag = at[0];
    size_t length = at[1];
    size_t header = 2;
    if (length & 0x80) {
      const size_t bytes = length & 0x7f;
      if (bytes == 0 || bytes > 4 || left < 2 + bytes) return false;
      length = 0;
      for (size_t i = 0; i < bytes; ++i) length = (length << 8) | at[2 + i];
      header += bytes;
    }
    if (length > left - header) return false;
    contents = Der{at + header, length};
    if (whole != nullptr) *whole = Der{at, header + length};
    at += header + length;
    left -= header + length;
    return true;
  }
  // The contents of the next element, which must have `tag`.
  bool Expect(uint8_t tag, Der& contents) {
    uint8_t found = 0;
    return Next(found, contents) && found == tag;
  }
  // The contents of the context-specific field [n] of a SEQUENCE's contents.
  bool Field(uint8_t n, Der& contents) {
    Der walk = *this;
    uint8_t tag = 0;
    while (walk.Next(tag, contents))
      if (tag == (0xA0 | n)) return true;
    return false;
  }
};

}  // namespace winhost::system::kerberos
