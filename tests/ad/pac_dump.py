#!/usr/bin/python3
"""Writes the PACs a domain's KDC puts in its users' service tickets, as the acceptor sees them.

  pac_dump.py OUTDIR USER...

Run inside tests/ad/with-domain.sh. For each USER the script gets a ticket with the domain's
password (AD_PASSWORD), signs on to HTTP@localhost with the default keytab as acceptor, and
writes the name attributes MIT's GSSAPI gives for the client:
  OUTDIR/USER.logon-info   "urn:mspac:logon-info", the NDR-encoded logon information
  OUTDIR/USER.pac          "urn:mspac:", the whole PAC with its buffers and signatures
It prints one line per attribute: its size and whether GSSAPI calls it authenticated.
"""
import os
import sys

import gssapi
import gssapi.raw as raw

ATTRIBUTES = {"logon-info": b"urn:mspac:logon-info", "pac": b"urn:mspac:"}


def sign_on(user, password):
    name = gssapi.Name(user, gssapi.NameType.kerberos_principal)
    creds = raw.acquire_cred_with_password(name, password, usage="initiate").creds
    target = gssapi.Name("HTTP@localhost", gssapi.NameType.hostbased_service)
    client = gssapi.SecurityContext(name=target, creds=creds, mech=gssapi.MechType.kerberos, usage="initiate")
    server = gssapi.SecurityContext(creds=gssapi.Credentials(usage="accept"), usage="accept")
    token = client.step()
    while not server.complete:
        token = server.step(token)
        if token and not client.complete:
            token = client.step(token)
    return server.initiator_name


def main():
    out, users = sys.argv[1], sys.argv[2:]
    password = os.environ["AD_PASSWORD"].encode()
    failed = 0
    for user in users:
        client = sign_on(user, password)
        for suffix, attribute in ATTRIBUTES.items():
            try:
                found = raw.get_name_attribute(client, attribute)
            except gssapi.exceptions.GSSError as error:
                print("%s %s: %s" % (user, attribute.decode(), error))
                failed = 1
                continue
            value = b"".join(found.values)
            with open(os.path.join(out, "%s.%s" % (user, suffix)), "wb") as f:
                f.write(value)
            print("%s %s: %d bytes, authenticated %s" % (user, attribute.decode(), len(value), found.authenticated))
    return failed


if __name__ == "__main__":
    sys.exit(main())
