#!/bin/sh
# Inside the test domain (tests/ad/with-domain.sh): makes the back end's tickets carry no PAC (its
# account has NO_AUTH_DATA_REQUIRED), gives the server one keytab with both services' keys, then
# runs the command. So one process signs on to HTTP/localhost with a PAC and to
# HTTP/backend.<domain> without one.
# Usage: without-pac.sh COMMAND [ARGUMENT...]
set -eu
/usr/bin/python3 - "$AD_SMB_CONF" <<'PY'
import sys
from samba import dsdb
from samba.auth import system_session
from samba.param import LoadParm
from samba.samdb import SamDB
lp = LoadParm()
lp.load(sys.argv[1])
db = SamDB(url=lp.private_path("sam.ldb"), session_info=system_session(), lp=lp)
db.toggle_userAccountFlags("(sAMAccountName=backend)", dsdb.UF_NO_AUTH_DATA_REQUIRED)
PY
merged=$AD_DIR/both.keytab
printf 'rkt %s\nrkt %s\nwkt %s\nquit\n' "${KRB5_KTNAME#FILE:}" "${AD_BACKEND_KEYTAB#FILE:}" "$merged" | ktutil >/dev/null
export KRB5_KTNAME=FILE:$merged
exec "$@"
