#!/usr/bin/python3
"""An HTTPS client that signs on with MIT's GSSAPI (python3-gssapi), SPNEGO as browsers use it,
binding its token to a TLS channel as RFC 5929's tls-server-end-point says.

  bound_client.py URL CA_FILE BINDINGS [OTHER_CERT]
BINDINGS: "server" binds to the certificate the server showed, "other" to OTHER_CERT (PEM) as a
relaying server's would be, "none" binds to nothing. Prints the final status and body.
"""
import base64
import hashlib
import http.client
import ssl
import sys
import urllib.parse

import gssapi


def end_point(der):
    # SHA-256 for the certificates the tests make (their signatures use SHA-256).
    return b"tls-server-end-point:" + hashlib.sha256(der).digest()


def main():
    url, ca, which = urllib.parse.urlsplit(sys.argv[1]), sys.argv[2], sys.argv[3]
    context = ssl.create_default_context(cafile=ca)
    connection = http.client.HTTPSConnection(url.hostname, url.port, context=context)
    connection.connect()
    if which == "server":
        application = end_point(connection.sock.getpeercert(binary_form=True))
    elif which == "other":
        application = end_point(ssl.PEM_cert_to_DER_cert(open(sys.argv[4]).read()))
    else:
        application = None
    bindings = gssapi.raw.ChannelBindings(application_data=application) if application else None
    name = gssapi.Name("HTTP@" + url.hostname, gssapi.NameType.hostbased_service)
    ctx = gssapi.SecurityContext(name=name, mech=gssapi.Mechanism.from_sasl_name("SPNEGO"), usage="initiate",
                                 flags=gssapi.RequirementFlag.mutual_authentication, channel_bindings=bindings)
    token = ctx.step()
    for _ in range(4):
        connection.request("GET", url.path or "/", headers={"Authorization": "Negotiate " + base64.b64encode(token).decode()})
        response = connection.getresponse()
        body = response.read().decode()
        answer = response.getheader("WWW-Authenticate") or ""
        if response.status != 401 or not answer.startswith("Negotiate ") or ctx.complete:
            print(response.status, body)
            return
        token = ctx.step(base64.b64decode(answer.split(" ", 1)[1]))
    print("no end to the exchange")


if __name__ == "__main__":
    main()
