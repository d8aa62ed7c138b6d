// The system world's trace: native failures and refusals in words on the standard error, for an
// administrator who switches it on with QUENTREL_TRACE. Off, it writes nothing.
#pragma once

#include <string>

namespace winhost::system::host {

bool TraceOn();

// Writes "quentrel: <text>" as one line when the trace is on, anything outside printable ASCII
// (and '\') as \xNN, so that a client's name cannot forge a line of its own.
void Trace(const std::string& text);

}  // namespace winhost::system::host
