// What the platform's own SSPI answers, asked by the test program, for the SSPI groups.
#pragma once

#define SECURITY_WIN32
#include <windows.h>
#include <security.h>
#include <sspi.h>

#include <string>

inline bool Succeeded(SECURITY_STATUS status) { return status == SEC_E_OK || status == SEC_I_CONTINUE_NEEDED; }

// The context report the library is to give for a record over `context`: each line as the
// platform answers the query behind it, the attribute names from the table of the record's side.
std::u16string PlatformReport(CtxtHandle* context, bool client, const char16_t* state, ULONG attributes);
