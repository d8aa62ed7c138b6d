// One thread acting as another Unix account, as a Windows thread impersonates a token.
//
// The raw setresuid, setresgid and setgroups system calls change the calling thread alone (the
// C library's wrappers change every thread of the process), so a server thread can open files as
// its client while the others go on as the process. Only the effective ids change: the real and
// saved ones stay the process's own, which is what lets the thread come back.
//
// Linux gives a new thread the ids of the thread that starts it, and nothing lets a library step
// into thread creation: a thread started while its creator acts as a client starts as that client
// too. The host puts such a thread back to the process's identity at its first call into the host
// (SettleThreadIdentity, from world::EnterThread); until then it is the client.
#pragma once

#include "common/tokens.h"
#include "system/host/host.h"

namespace winhost::system::host {

// Makes the calling thread act as `who`. 0 on success; otherwise the errno of the refused call
// (EPERM where the process may not take another identity), with the thread left as it was.
// A thread may always take its own identity again.
int ActAs(const UnixIdentity& who);

// Puts the calling thread back to its own identity. 0 or an errno. Makes system calls only, so it
// cannot fail for want of memory.
int ActAsSelf();

// The first time a thread comes to the host: notes its own identity, which for a thread born of
// one acting as a client is the process's, and puts it back to that identity. Cheap afterwards.
void SettleThreadIdentity();

}  // namespace winhost::system::host
