#!/usr/bin/python3
# Fills a freshly provisioned Samba AD database with the test domain's accounts and exports the
# services' keytabs, in one process straight on sam.ldb (the DC need not run yet): a samba-tool
# call per account would cost a Python start-up each.
# Writes KEYTAB_DIR/accounts too: "SID NAME" for each account and group made here, and for Domain
# Users and Domain Admins.
# Usage: populate.py SMB_CONF PASSWORD KEYTAB_DIR DC_ADDRESS
import sys

import ldb
from samba import dsdb
from samba import enable_net_export_keytab
from samba.auth import system_session
from samba.net import Net
from samba.provision.sambadns import add_host_record
from samba.param import LoadParm
from samba.samdb import SamDB

conf, password, keytabs, address = sys.argv[1:5]
lp = LoadParm()
lp.load(conf)
db = SamDB(url=lp.private_path("sam.ldb"), session_info=system_session(), lp=lp)
dns_domain = lp.get("realm").lower()

USERS = ["alice", "bob", "carol", "dave", "erin"]
# Groups by name: their type, and members (users or groups).
GROUPS = [
    ("Engineers", dsdb.GTYPE_SECURITY_GLOBAL_GROUP, ["alice"]),
    # Nested: alice is in Staff only through Engineers; bob is in it directly.
    ("Staff", dsdb.GTYPE_SECURITY_GLOBAL_GROUP, ["Engineers", "bob"]),
    ("Printers", dsdb.GTYPE_SECURITY_DOMAIN_LOCAL_GROUP, ["Engineers"]),
    ("Domain Admins", None, ["dave"]),
    # Protected Users (RID 525): erin's tickets are not forwardable, and her token says why.
    ("Protected Users", None, ["erin"]),
]
# Services: account, SPNs, userAccountControl flags, the services it may delegate to, keytab file.
SERVICES = [
    # The web front end: HTTP/localhost, trusted for (unconstrained) delegation.
    ("websvc", ["HTTP/localhost", "HTTP/web." + dns_domain], dsdb.UF_TRUSTED_FOR_DELEGATION, [], "keytab"),
    # A back end the front ends reach as their client.
    ("backend", ["HTTP/backend." + dns_domain], 0, [], "backend.keytab"),
    # A front end that may delegate to the back end alone (constrained, with protocol transition).
    ("proxysvc", ["HTTP/proxy." + dns_domain], dsdb.UF_TRUSTED_TO_AUTHENTICATE_FOR_DELEGATION,
     ["HTTP/backend." + dns_domain, "HTTP/backend"], "proxy.keytab"),
]


def modify(name, **attributes):
    found = db.search(base=db.domain_dn(), scope=ldb.SCOPE_SUBTREE,
                      expression="(sAMAccountName=%s)" % ldb.binary_encode(name), attrs=["dn"])
    message = ldb.Message(found[0].dn)
    for attribute, values in attributes.items():
        message[attribute] = ldb.MessageElement(values, ldb.FLAG_MOD_REPLACE, attribute)
    db.modify(message)


for user in USERS:
    db.newuser(user, password, useusernameascn=True)
# bob's account is sensitive and cannot be delegated: no service may act as him onward.
db.toggle_userAccountFlags("(sAMAccountName=bob)", dsdb.UF_NOT_DELEGATED)
for group, kind, members in GROUPS:
    if kind is not None:
        db.newgroup(group, grouptype=kind)
    db.add_remove_group_members(group, members, add_members_operation=True)
for account, spns, flags, allowed, _ in SERVICES:
    db.newuser(account, password, useusernameascn=True)
    attributes = {"servicePrincipalName": spns, "msDS-SupportedEncryptionTypes": ["24"]}
    if allowed:
        attributes["msDS-AllowedToDelegateTo"] = allowed
    modify(account, **attributes)
    if flags:
        db.toggle_userAccountFlags("(sAMAccountName=%s)" % account, flags)
    # New keys after the encryption types are set, so that the keytab has the AES ones.
    db.setpassword("(sAMAccountName=%s)" % account, password + "-" + account)

# AES only, as domains are from 2026 on: every account, users, services and the DC, allows AES and
# nothing else, so no ticket of this domain is RC4.
for account in db.search(base=db.domain_dn(), scope=ldb.SCOPE_SUBTREE,
                         expression="(&(objectClass=user)(!(sAMAccountName=krbtgt)))", attrs=["sAMAccountName"]):
    modify(str(account["sAMAccountName"][0]), **{"msDS-SupportedEncryptionTypes": ["24"]})

# The directory's own service, for binds with Kerberos (SASL GSSAPI): provisioning names the DC's
# host/ services only.
dc = db.search(base=db.domain_dn(), scope=ldb.SCOPE_SUBTREE, expression="(sAMAccountName=DC1$)",
               attrs=["servicePrincipalName"])[0]
have = {str(spn).lower() for spn in dc.get("servicePrincipalName", [])}
wanted = [spn for spn in ["ldap/dc1." + dns_domain, "ldap/DC1", "ldap/dc1.%s/%s" % (dns_domain, dns_domain)]
          if spn.lower() not in have]
if wanted:
    message = ldb.Message(dc.dn)
    message["servicePrincipalName"] = ldb.MessageElement(wanted, ldb.FLAG_MOD_ADD, "servicePrincipalName")
    db.modify(message)

# The DC's own name and the service hosts in the domain's DNS zone: provisioning names the DC only
# at an address other than 127.0.0.1.
zone = ldb.Dn(db, "DC=%s,CN=MicrosoftDNS,DC=DomainDnsZones,%s" % (dns_domain, db.domain_dn()))
for host in ["dc1", "web", "backend", "proxy"]:
    if not db.search(base=zone, scope=ldb.SCOPE_ONELEVEL, expression="(name=%s)" % host, attrs=[]):
        add_host_record(db, zone, "DC=" + host, address if host == "dc1" else "127.0.0.1", None)

enable_net_export_keytab()
net = Net(None, lp)
names = USERS + [group for group, _, _ in GROUPS] + [account for account, _, _, _, _ in SERVICES] + ["Domain Users"]
with open(keytabs + "/accounts", "w") as accounts:
    for name in names:
        found = db.search(base=db.domain_dn(), scope=ldb.SCOPE_SUBTREE,
                          expression="(sAMAccountName=%s)" % ldb.binary_encode(name), attrs=["objectSid"])
        accounts.write("%s %s\n" % (db.schema_format_value("objectSid", found[0]["objectSid"][0]).decode(), name))
# Each keytab holds its SPNs' keys and the account's own: the KDC gives a TGT (for an LDAP bind,
# S4U2Self) to the account's name, never to an SPN.
for account, spns, _, _, keytab in SERVICES:
    for principal in spns + [account]:
        net.export_keytab(keytab="%s/%s" % (keytabs, keytab), principal=principal)
