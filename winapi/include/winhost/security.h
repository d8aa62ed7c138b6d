// Account and authorization services of the stand-in host (advapi32, authz): SIDs, account lookups
// and Authz client contexts. Windows' own types, values and signatures.
#pragma once

#include "winhost/base.h"

typedef void* PSID;
typedef HANDLE HLOCAL;

typedef struct _SID_IDENTIFIER_AUTHORITY {
  BYTE Value[6];
} SID_IDENTIFIER_AUTHORITY, *PSID_IDENTIFIER_AUTHORITY;

// The fixed head of a SID; SubAuthority really holds SubAuthorityCount entries.
typedef struct _SID {
  BYTE Revision;
  BYTE SubAuthorityCount;
  SID_IDENTIFIER_AUTHORITY IdentifierAuthority;
  DWORD SubAuthority[1];
} SID;

#define SID_REVISION 1
#define SID_MAX_SUB_AUTHORITIES 15
#define SECURITY_MAX_SID_SIZE (sizeof(SID) - sizeof(DWORD) + (SID_MAX_SUB_AUTHORITIES * sizeof(DWORD)))

#define SECURITY_NULL_SID_AUTHORITY {0, 0, 0, 0, 0, 0}
#define SECURITY_WORLD_SID_AUTHORITY {0, 0, 0, 0, 0, 1}
#define SECURITY_LOCAL_SID_AUTHORITY {0, 0, 0, 0, 0, 2}
#define SECURITY_CREATOR_SID_AUTHORITY {0, 0, 0, 0, 0, 3}
#define SECURITY_NT_AUTHORITY {0, 0, 0, 0, 0, 5}

#define SECURITY_WORLD_RID 0x00000000L
#define SECURITY_LOCAL_RID 0x00000000L
#define SECURITY_NETWORK_RID 0x00000002L
#define SECURITY_INTERACTIVE_RID 0x00000004L
#define SECURITY_AUTHENTICATED_USER_RID 0x0000000BL
#define SECURITY_THIS_ORGANIZATION_RID 0x0000000FL
#define SECURITY_LOCAL_SYSTEM_RID 0x00000012L
#define SECURITY_NT_NON_UNIQUE 0x00000015L
#define SECURITY_BUILTIN_DOMAIN_RID 0x00000020L

#define DOMAIN_USER_RID_ADMIN 0x000001F4L
#define DOMAIN_USER_RID_GUEST 0x000001F5L
#define DOMAIN_GROUP_RID_USERS 0x00000201L
#define DOMAIN_ALIAS_RID_ADMINS 0x00000220L
#define DOMAIN_ALIAS_RID_USERS 0x00000221L
#define DOMAIN_ALIAS_RID_GUESTS 0x00000222L
#define DOMAIN_ALIAS_RID_POWER_USERS 0x00000223L
#define DOMAIN_ALIAS_RID_BACKUP_OPS 0x00000227L
#define DOMAIN_ALIAS_RID_REMOTE_DESKTOP_USERS 0x0000022BL

typedef enum _SID_NAME_USE {
  SidTypeUser = 1,
  SidTypeGroup,
  SidTypeDomain,
  SidTypeAlias,
  SidTypeWellKnownGroup,
  SidTypeDeletedAccount,
  SidTypeInvalid,
  SidTypeUnknown,
  SidTypeComputer,
  SidTypeLabel,
  SidTypeLogonSession
} SID_NAME_USE, *PSID_NAME_USE;

typedef struct _SID_AND_ATTRIBUTES {
  PSID Sid;
  DWORD Attributes;
} SID_AND_ATTRIBUTES, *PSID_AND_ATTRIBUTES;

#define ANYSIZE_ARRAY 1

#ifndef ERROR_INVALID_SID
#define ERROR_INVALID_SID 1337L
#endif
#ifndef ERROR_NO_SUCH_USER
#define ERROR_NO_SUCH_USER 1317L
#endif

typedef struct _TOKEN_GROUPS {
  DWORD GroupCount;
  SID_AND_ATTRIBUTES Groups[ANYSIZE_ARRAY];
} TOKEN_GROUPS, *PTOKEN_GROUPS;

#define SE_GROUP_MANDATORY 0x00000001L
#define SE_GROUP_ENABLED_BY_DEFAULT 0x00000002L
#define SE_GROUP_ENABLED 0x00000004L
#define SE_GROUP_OWNER 0x00000008L
#define SE_GROUP_USE_FOR_DENY_ONLY 0x00000010L
#define SE_GROUP_RESOURCE 0x20000000L

typedef struct _LUID {
  DWORD LowPart;
  LONG HighPart;
} LUID, *PLUID;

// ---- Authz ----------------------------------------------------------------------------------

typedef struct AUTHZ_RESOURCE_MANAGER_HANDLE__* AUTHZ_RESOURCE_MANAGER_HANDLE;
typedef struct AUTHZ_CLIENT_CONTEXT_HANDLE__* AUTHZ_CLIENT_CONTEXT_HANDLE;
typedef AUTHZ_RESOURCE_MANAGER_HANDLE* PAUTHZ_RESOURCE_MANAGER_HANDLE;
typedef AUTHZ_CLIENT_CONTEXT_HANDLE* PAUTHZ_CLIENT_CONTEXT_HANDLE;

typedef BOOL(CALLBACK* PFN_AUTHZ_DYNAMIC_ACCESS_CHECK)(AUTHZ_CLIENT_CONTEXT_HANDLE, void*, PVOID, PBOOL);
typedef BOOL(CALLBACK* PFN_AUTHZ_COMPUTE_DYNAMIC_GROUPS)(AUTHZ_CLIENT_CONTEXT_HANDLE, PVOID, PSID_AND_ATTRIBUTES*,
                                                         PDWORD, PSID_AND_ATTRIBUTES*, PDWORD);
typedef void(CALLBACK* PFN_AUTHZ_FREE_DYNAMIC_GROUPS)(PSID_AND_ATTRIBUTES);

#define AUTHZ_RM_FLAG_NO_AUDIT 0x1

typedef enum _AUTHZ_CONTEXT_INFORMATION_CLASS {
  AuthzContextInfoUserSid = 1,
  AuthzContextInfoGroupsSids,
  AuthzContextInfoRestrictedSids,
  AuthzContextInfoPrivileges,
  AuthzContextInfoExpirationTime,
  AuthzContextInfoServerContext,
  AuthzContextInfoIdentifier,
  AuthzContextInfoSource,
  AuthzContextInfoAll,
  AuthzContextInfoAuthenticationId
} AUTHZ_CONTEXT_INFORMATION_CLASS;

extern "C" {

BOOL WINAPI LookupAccountNameW(LPCWSTR systemName, LPCWSTR accountName, PSID sid, LPDWORD sidSize,
                               LPWSTR referencedDomainName, LPDWORD domainNameSize, PSID_NAME_USE use);
BOOL WINAPI LookupAccountSidW(LPCWSTR systemName, PSID sid, LPWSTR name, LPDWORD nameSize,
                              LPWSTR referencedDomainName, LPDWORD domainNameSize, PSID_NAME_USE use);
BOOL WINAPI AllocateAndInitializeSid(PSID_IDENTIFIER_AUTHORITY authority, BYTE subAuthorityCount, DWORD subAuthority0,
                                     DWORD subAuthority1, DWORD subAuthority2, DWORD subAuthority3,
                                     DWORD subAuthority4, DWORD subAuthority5, DWORD subAuthority6,
                                     DWORD subAuthority7, PSID* sid);
PVOID WINAPI FreeSid(PSID sid);
BOOL WINAPI ConvertSidToStringSidA(PSID sid, LPSTR* text);
HLOCAL WINAPI LocalFree(HLOCAL memory);
BOOL WINAPI EqualSid(PSID first, PSID second);

BOOL WINAPI AuthzInitializeResourceManager(DWORD flags, PFN_AUTHZ_DYNAMIC_ACCESS_CHECK dynamicAccessCheck,
                                           PFN_AUTHZ_COMPUTE_DYNAMIC_GROUPS computeDynamicGroups,
                                           PFN_AUTHZ_FREE_DYNAMIC_GROUPS freeDynamicGroups, PCWSTR name,
                                           PAUTHZ_RESOURCE_MANAGER_HANDLE resourceManager);
BOOL WINAPI AuthzFreeResourceManager(AUTHZ_RESOURCE_MANAGER_HANDLE resourceManager);
BOOL WINAPI AuthzInitializeContextFromSid(DWORD flags, PSID userSid, AUTHZ_RESOURCE_MANAGER_HANDLE resourceManager,
                                          PLARGE_INTEGER expirationTime, LUID identifier, PVOID dynamicGroupArgs,
                                          PAUTHZ_CLIENT_CONTEXT_HANDLE clientContext);
BOOL WINAPI AuthzGetInformationFromContext(AUTHZ_CLIENT_CONTEXT_HANDLE clientContext,
                                           AUTHZ_CONTEXT_INFORMATION_CLASS infoClass, DWORD bufferSize,
                                           PDWORD sizeRequired, PVOID buffer);
BOOL WINAPI AuthzFreeContext(AUTHZ_CLIENT_CONTEXT_HANDLE clientContext);

}  // extern "C"
