// The Windows API as the stand-in host provides it: each area of the host adds its header here.
#pragma once

#include "winhost/base.h"
#include "winhost/sspi.h"
#include "winhost/host_services.h"
#include "winhost/security.h"
#include "winhost/token.h"
