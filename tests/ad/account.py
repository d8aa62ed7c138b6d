#!/usr/bin/python3
# Changes one account of the running test domain straight on sam.ldb, as an administrator would,
# for tests that then watch how the library takes the change (and change it back):
#   account.py SMB_CONF ACCOUNT set ATTRIBUTE VALUE      replaces an attribute's value
#   account.py SMB_CONF ACCOUNT password PASSWORD        sets the password: new keys, kvno + 1
#   account.py SMB_CONF ACCOUNT export KEYTAB PRINCIPAL...  appends the account's current keys
import sys

import ldb
from samba import enable_net_export_keytab
from samba.auth import system_session
from samba.net import Net
from samba.param import LoadParm
from samba.samdb import SamDB

conf, account, action = sys.argv[1:4]
arguments = sys.argv[4:]
lp = LoadParm()
lp.load(conf)
db = SamDB(url=lp.private_path("sam.ldb"), session_info=system_session(), lp=lp)
expression = "(sAMAccountName=%s)" % ldb.binary_encode(account)
if action == "set":
    attribute, value = arguments
    message = ldb.Message(db.search(base=db.domain_dn(), expression=expression, attrs=[])[0].dn)
    message[attribute] = ldb.MessageElement([value], ldb.FLAG_MOD_REPLACE, attribute)
    db.modify(message)
elif action == "password":
    db.setpassword(expression, arguments[0])
elif action == "export":
    enable_net_export_keytab()
    net = Net(None, lp)
    for principal in arguments[1:]:
        net.export_keytab(keytab=arguments[0], principal=principal)
else:
    sys.exit("account.py: no action " + action)
