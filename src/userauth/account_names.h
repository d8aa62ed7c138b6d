// The account-name rules that the SSPI and UserAuth families share. Both routines read the two
// names recorded at load and take no lock; each caller holds its own family's lock.
#pragma once

#include <jni.h>

#include <cstdint>
#include <vector>

#include "bridge/platform.h"

// True when the two names have the same length and agree unit by unit once A-Z are mapped onto
// a-z. Nothing else is folded, and no locale is consulted.
bool NamesMatch(const WideString& first, const WideString& second);

// The name with a qualifier that is empty, this computer's DNS host name or the built-in domain's
// name dropped; any other name unchanged. Only the first backslash splits.
WideString StripLocalDomain(const WideString& name);

// The SID of a group or alias named `name`: 0 with the SID in `sidBytes`; ERROR_NONE_MAPPED when no
// acceptable group bears the name (a qualified name must resolve in the domain it names, an
// unqualified one in this computer's or the built-in domain); otherwise the lookup's error.
DWORD ResolveGroupSid(const WideString& name, std::vector<uint8_t>& sidBytes);

// Makes the Java exception for a non-zero ResolveGroupSid result pending: GroupNotFoundException
// with an empty message for ERROR_NONE_MAPPED, otherwise "Platform error: %08x".
void ThrowGroupResolutionFailure(JNIEnv* env, DWORD code);

// LookupAccountNameW on the local system, first for the sizes and then into `sidBytes` and
// `domainNameBytes` (wide characters, terminator included). 0, or the Windows error of the call
// that failed (ERROR_NONE_MAPPED for a name no account bears).
DWORD LookupAccount(const WideString& name, std::vector<uint8_t>& sidBytes, std::vector<uint8_t>& domainNameBytes,
                    SID_NAME_USE& use);
