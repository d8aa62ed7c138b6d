#!/usr/bin/python3
"""A peer on MIT's own GSSAPI (python3-gssapi), driven line by line over stdin and stdout.

  gss_peer.py client SERVICE@HOST MECH   initiates (mutual authentication, confidentiality)
  gss_peer.py server MECH                accepts with the default keytab
  gss_peer.py skew CACHE COPY SECONDS    copies a ticket cache with the client's clock off by
                                         SECONDS, as krb5 keeps the KDC's time offset there
MECH is "krb5" or "spnego". With GSS_PEER_BINDINGS set (base64), the client's tokens carry those
channel bindings as application data, and the server requires them. Requests and answers are one line each, bytes in base64:
  step B64          -> "token B64 DONE NAME": the answer (possibly empty), 1 once established
                       and the peer's name then (else 0 -)
  wrap B64          -> "wrapped B64"        (gss_wrap with confidentiality)
  unwrap B64        -> "plain B64" or "error TEXT"
"""
import base64
import os
import sys

import gssapi

MECHS = {"krb5": gssapi.MechType.kerberos, "spnego": gssapi.Mechanism.from_sasl_name("SPNEGO")}


def out(line):
    sys.stdout.write(line + "\n")
    sys.stdout.flush()


def skew(source, copy, seconds):
    # A version 4 cache starts 05 04, the header's length, then tagged fields; tag 1 is the
    # offset of the KDC's clock from ours, which krb5 adds to its own time.
    data = open(source, "rb").read()
    assert data[:2] == b"\x05\x04"
    rest = data[4 + int.from_bytes(data[2:4], "big"):]
    field = (1).to_bytes(2, "big") + (8).to_bytes(2, "big") + seconds.to_bytes(4, "big", signed=True) + bytes(4)
    open(copy, "wb").write(b"\x05\x04" + len(field).to_bytes(2, "big") + field + rest)


def bindings():
    data = os.environ.get("GSS_PEER_BINDINGS")
    return gssapi.raw.ChannelBindings(application_data=base64.b64decode(data)) if data else None


def main():
    role = sys.argv[1]
    if role == "skew":
        return skew(sys.argv[2], sys.argv[3], int(sys.argv[4]))
    if role == "client":
        name = gssapi.Name(sys.argv[2], gssapi.NameType.hostbased_service)
        flags = gssapi.RequirementFlag.mutual_authentication | gssapi.RequirementFlag.confidentiality
        ctx = gssapi.SecurityContext(name=name, mech=MECHS[sys.argv[3]], flags=flags, usage="initiate",
                                     channel_bindings=bindings())
    else:
        ctx = gssapi.SecurityContext(creds=gssapi.Credentials(usage="accept", mechs=[MECHS[sys.argv[2]]]),
                                     usage="accept", channel_bindings=bindings())
    for line in sys.stdin:
        verb, _, data = line.strip().partition(" ")
        payload = base64.b64decode(data)
        try:
            if verb == "step":
                token = ctx.step(payload if payload or role == "server" else None)
                peer = "-"
                if ctx.complete:
                    peer = str(ctx.initiator_name if role == "server" else ctx.target_name)
                out("token %s %d %s" % (base64.b64encode(token or b"").decode(), ctx.complete, peer))
            elif verb == "wrap":
                out("wrapped " + base64.b64encode(ctx.wrap(payload, True).message).decode())
            elif verb == "unwrap":
                out("plain " + base64.b64encode(ctx.unwrap(payload).message).decode())
        except gssapi.exceptions.GSSError as error:
            out("error " + str(error).replace("\n", " "))


if __name__ == "__main__":
    main()
