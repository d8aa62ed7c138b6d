// Account and group names of any UTF-16 units through the name-taking operations of both families.
#include "fuzz_support.h"
#include "winhost/control_tokens.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  native::Session& s = fuzz::TheSession();
  const int server = fuzz::Established().server, user = fuzz::Established().user;
  if (size == 0) return 0;
  const std::u16string name = fuzz::Units(data + 1, size - 1);
  fuzz::Unchanged unchanged;
  switch (data[0] % 4) {
    case 0:
      fuzz::ExpectDocumented(s.GetUserSID(name), "GetUserSID");
      break;
    case 1: {
      native::Outcome created = s.CreateUserContext(name);
      fuzz::ExpectDocumented(created, "CreateUserContext");
      s.FreeUserHandle(created.handle);
      break;
    }
    case 2:
      fuzz::ExpectDocumented(s.IsUserGroupMember(user, name), "UserAuth.IsGroupMember");
      break;
    default:
      fuzz::ExpectDocumented(s.IsGroupMember(server, name), "SSPI.IsGroupMember");
      if (winhost::ThreadIdentity()) fuzz::Broken("the thread was left as the client");
      break;
  }
  return 0;
}
