// The system world: the Windows functions over this machine's own services (NSS, the resolver,
// krb5 and GSSAPI, a SQLite registry store, the kernel's thread identities). It speaks the
// vocabulary of common/ and nothing of the simulated host.
#pragma once

#include "common/blocks.h"
#include "common/files.h"
#include "common/journal.h"
#include "common/lock.h"
#include "common/sids.h"
#include "common/text.h"

namespace winhost::system {

using namespace common;

}  // namespace winhost::system
