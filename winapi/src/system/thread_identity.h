// One thread acting as another Unix account, as a Windows thread impersonates a token.
//
// The raw setresuid, setresgid and setgroups system calls change the calling thread alone (the
// C library's wrappers change every thread of the process), so a server thread can open files as
// its client while the others go on as the process. Only the effective ids change: the real and
// saved ones stay the process's own, which is what lets the thread come back.
#pragma once

#include "system/accounts.h"

namespace winhost::system {

// Makes the calling thread act as `who`. 0 on success; otherwise the errno of the refused call
// (EPERM where the process may not take another identity), with the thread left as it was.
// A thread may always take its own identity again.
int ActAs(const UnixIdentity& who);

// Puts the calling thread back to the identity it had before its first ActAs. 0 or an errno.
int ActAsSelf();

}  // namespace winhost::system
