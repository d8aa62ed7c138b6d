// Security Support Provider Interface of the stand-in host: Windows' types, values and entry points.
#pragma once

#include "winhost/base.h"

typedef LONG SECURITY_STATUS;
typedef WCHAR SEC_WCHAR;
typedef CHAR SEC_CHAR;

typedef struct _SecHandle {
  ULONG_PTR dwLower;
  ULONG_PTR dwUpper;
} SecHandle, *PSecHandle;
typedef SecHandle CredHandle, *PCredHandle;
typedef SecHandle CtxtHandle, *PCtxtHandle;

typedef LARGE_INTEGER SECURITY_INTEGER, *PSECURITY_INTEGER;
typedef SECURITY_INTEGER TimeStamp, *PTimeStamp;

typedef struct _SecBuffer {
  ULONG cbBuffer;
  ULONG BufferType;
  void* pvBuffer;
} SecBuffer, *PSecBuffer;

typedef struct _SecBufferDesc {
  ULONG ulVersion;
  ULONG cBuffers;
  PSecBuffer pBuffers;
} SecBufferDesc, *PSecBufferDesc;

typedef struct _SecPkgContext_Sizes {
  ULONG cbMaxToken;
  ULONG cbMaxSignature;
  ULONG cbBlockSize;
  ULONG cbSecurityTrailer;
} SecPkgContext_Sizes, *PSecPkgContext_Sizes;

typedef struct _SecPkgContext_NamesW {
  SEC_WCHAR* sUserName;
} SecPkgContext_NamesW, *PSecPkgContext_NamesW;

typedef struct _SecPkgCredentials_NamesW {
  SEC_WCHAR* sUserName;
} SecPkgCredentials_NamesW, *PSecPkgCredentials_NamesW;

typedef struct _SecPkgInfoW {
  ULONG fCapabilities;
  USHORT wVersion;
  USHORT wRPCID;
  ULONG cbMaxToken;
  SEC_WCHAR* Name;
  SEC_WCHAR* Comment;
} SecPkgInfoW, *PSecPkgInfoW;

typedef struct _SecPkgContext_Lifespan {
  TimeStamp tsStart;
  TimeStamp tsExpiry;
} SecPkgContext_Lifespan, *PSecPkgContext_Lifespan;

// The channel a context is bound to: each address and the application data sit after the
// structure, at their offsets from its start.
typedef struct _SEC_CHANNEL_BINDINGS {
  ULONG dwInitiatorAddrType;
  ULONG cbInitiatorLength;
  ULONG dwInitiatorOffset;
  ULONG dwAcceptorAddrType;
  ULONG cbAcceptorLength;
  ULONG dwAcceptorOffset;
  ULONG cbApplicationDataLength;
  ULONG dwApplicationDataOffset;
} SEC_CHANNEL_BINDINGS, *PSEC_CHANNEL_BINDINGS;

typedef struct _SecPkgContext_PackageInfoW {
  PSecPkgInfoW PackageInfo;
} SecPkgContext_PackageInfoW, *PSecPkgContext_PackageInfoW;

typedef void(SEC_ENTRY* SEC_GET_KEY_FN)(void* arg, void* principal, ULONG keyVer, void** key,
                                         SECURITY_STATUS* status);

#define SEC_E_OK ((SECURITY_STATUS)0x00000000L)
#define SEC_I_CONTINUE_NEEDED ((SECURITY_STATUS)0x00090312L)
#define SEC_I_COMPLETE_NEEDED ((SECURITY_STATUS)0x00090313L)
#define SEC_I_COMPLETE_AND_CONTINUE ((SECURITY_STATUS)0x00090314L)
#define SEC_E_INSUFFICIENT_MEMORY ((SECURITY_STATUS)0x80090300L)
#define SEC_E_INVALID_HANDLE ((SECURITY_STATUS)0x80090301L)
#define SEC_E_UNSUPPORTED_FUNCTION ((SECURITY_STATUS)0x80090302L)
#define SEC_E_TARGET_UNKNOWN ((SECURITY_STATUS)0x80090303L)
#define SEC_E_INTERNAL_ERROR ((SECURITY_STATUS)0x80090304L)
#define SEC_E_SECPKG_NOT_FOUND ((SECURITY_STATUS)0x80090305L)
#define SEC_E_NOT_OWNER ((SECURITY_STATUS)0x80090306L)
#define SEC_E_INVALID_TOKEN ((SECURITY_STATUS)0x80090308L)
#define SEC_E_QOP_NOT_SUPPORTED ((SECURITY_STATUS)0x8009030AL)
#define SEC_E_NO_IMPERSONATION ((SECURITY_STATUS)0x8009030BL)
#define SEC_E_LOGON_DENIED ((SECURITY_STATUS)0x8009030CL)
#define SEC_E_UNKNOWN_CREDENTIALS ((SECURITY_STATUS)0x8009030DL)
#define SEC_E_NO_CREDENTIALS ((SECURITY_STATUS)0x8009030EL)
#define SEC_E_MESSAGE_ALTERED ((SECURITY_STATUS)0x8009030FL)
#define SEC_E_OUT_OF_SEQUENCE ((SECURITY_STATUS)0x80090310L)
#define SEC_E_INCOMPLETE_MESSAGE ((SECURITY_STATUS)0x80090318L)
#define SEC_E_BUFFER_TOO_SMALL ((SECURITY_STATUS)0x80090321L)
#define SEC_E_WRONG_PRINCIPAL ((SECURITY_STATUS)0x80090322L)
#define SEC_E_BAD_BINDINGS ((SECURITY_STATUS)0x80090346L)

#define SECPKG_CRED_INBOUND 0x00000001
#define SECPKG_CRED_OUTBOUND 0x00000002
#define SECPKG_CRED_ATTR_NAMES 1

#define SECPKG_ATTR_SIZES 0
#define SECPKG_ATTR_NAMES 1
#define SECPKG_ATTR_LIFESPAN 2
#define SECPKG_ATTR_PACKAGE_INFO 10

#define SECURITY_NATIVE_DREP 0x00000010
#define SECBUFFER_VERSION 0
#define SECBUFFER_EMPTY 0
#define SECBUFFER_DATA 1
#define SECBUFFER_TOKEN 2
#define SECBUFFER_PADDING 9
#define SECBUFFER_STREAM 10
#define SECBUFFER_CHANNEL_BINDINGS 14

#define SECQOP_WRAP_NO_ENCRYPT 0x80000001

#define ISC_REQ_DELEGATE 0x00000001
#define ISC_REQ_MUTUAL_AUTH 0x00000002
#define ISC_REQ_REPLAY_DETECT 0x00000004
#define ISC_REQ_SEQUENCE_DETECT 0x00000008
#define ISC_REQ_CONFIDENTIALITY 0x00000010
#define ISC_REQ_USE_SESSION_KEY 0x00000020
#define ISC_REQ_PROMPT_FOR_CREDS 0x00000040
#define ISC_REQ_USE_SUPPLIED_CREDS 0x00000080
#define ISC_REQ_ALLOCATE_MEMORY 0x00000100
#define ISC_REQ_USE_DCE_STYLE 0x00000200
#define ISC_REQ_DATAGRAM 0x00000400
#define ISC_REQ_CONNECTION 0x00000800
#define ISC_REQ_CALL_LEVEL 0x00001000
#define ISC_REQ_FRAGMENT_SUPPLIED 0x00002000
#define ISC_REQ_EXTENDED_ERROR 0x00004000
#define ISC_REQ_STREAM 0x00008000
#define ISC_REQ_INTEGRITY 0x00010000
#define ISC_REQ_IDENTIFY 0x00020000
#define ISC_REQ_NULL_SESSION 0x00040000
#define ISC_REQ_MANUAL_CRED_VALIDATION 0x00080000
#define ISC_REQ_RESERVED1 0x00100000
#define ISC_REQ_FRAGMENT_TO_FIT 0x00200000

#define ISC_RET_DELEGATE 0x00000001
#define ISC_RET_MUTUAL_AUTH 0x00000002
#define ISC_RET_REPLAY_DETECT 0x00000004
#define ISC_RET_SEQUENCE_DETECT 0x00000008
#define ISC_RET_CONFIDENTIALITY 0x00000010
#define ISC_RET_USE_SESSION_KEY 0x00000020
#define ISC_RET_CONNECTION 0x00000800
#define ISC_RET_IDENTIFY 0x00020000
#define ISC_RET_INTEGRITY 0x00010000

#define ASC_REQ_DELEGATE 0x00000001
#define ASC_REQ_MUTUAL_AUTH 0x00000002
#define ASC_REQ_REPLAY_DETECT 0x00000004
#define ASC_REQ_SEQUENCE_DETECT 0x00000008
#define ASC_REQ_CONFIDENTIALITY 0x00000010
#define ASC_REQ_CONNECTION 0x00000800
#define ASC_REQ_ALLOW_MISSING_BINDINGS 0x10000000
#define ASC_RET_DELEGATE 0x00000001
#define ASC_RET_MUTUAL_AUTH 0x00000002
#define ASC_RET_REPLAY_DETECT 0x00000004
#define ASC_RET_SEQUENCE_DETECT 0x00000008
#define ASC_RET_CONFIDENTIALITY 0x00000010
#define ASC_RET_USE_SESSION_KEY 0x00000020
#define ASC_RET_CONNECTION 0x00000800
#define ASC_RET_THIRD_LEG_FAILED 0x00004000
#define ASC_RET_IDENTIFY 0x00080000
#define ASC_RET_ALLOW_NON_USER_LOGONS 0x00200000
#define ASC_RET_INTEGRITY 0x00020000

// A user's name and password as a client credential's authentication data: the lengths count
// characters without the terminator.
#define SEC_WINNT_AUTH_IDENTITY_UNICODE 0x2
typedef struct _SEC_WINNT_AUTH_IDENTITY_W {
  unsigned short* User;
  ULONG UserLength;
  unsigned short* Domain;
  ULONG DomainLength;
  unsigned short* Password;
  ULONG PasswordLength;
  ULONG Flags;
} SEC_WINNT_AUTH_IDENTITY_W, *PSEC_WINNT_AUTH_IDENTITY_W;

extern "C" {
SECURITY_STATUS SEC_ENTRY AcquireCredentialsHandleW(LPWSTR principal, LPWSTR package, ULONG credentialUse,
                                                    void* logonId, void* authData, SEC_GET_KEY_FN getKeyFn,
                                                    void* getKeyArgument, PCredHandle credential,
                                                    PTimeStamp expiry);
SECURITY_STATUS SEC_ENTRY QueryCredentialsAttributesW(PCredHandle credential, ULONG attribute, void* buffer);
SECURITY_STATUS SEC_ENTRY FreeCredentialsHandle(PCredHandle credential);
SECURITY_STATUS SEC_ENTRY InitializeSecurityContextW(PCredHandle credential, PCtxtHandle context,
                                                     SEC_WCHAR* targetName, ULONG contextReq, ULONG reserved1,
                                                     ULONG targetDataRep, PSecBufferDesc input, ULONG reserved2,
                                                     PCtxtHandle newContext, PSecBufferDesc output,
                                                     PULONG contextAttr, PTimeStamp expiry);
SECURITY_STATUS SEC_ENTRY AcceptSecurityContext(PCredHandle credential, PCtxtHandle context, PSecBufferDesc input,
                                                ULONG contextReq, ULONG targetDataRep, PCtxtHandle newContext,
                                                PSecBufferDesc output, PULONG contextAttr, PTimeStamp expiry);
SECURITY_STATUS SEC_ENTRY CompleteAuthToken(PCtxtHandle context, PSecBufferDesc token);
SECURITY_STATUS SEC_ENTRY QueryContextAttributesW(PCtxtHandle context, ULONG attribute, void* buffer);
SECURITY_STATUS SEC_ENTRY QuerySecurityContextToken(PCtxtHandle context, HANDLE* token);
SECURITY_STATUS SEC_ENTRY EncryptMessage(PCtxtHandle context, ULONG qop, PSecBufferDesc message, ULONG seqNo);
SECURITY_STATUS SEC_ENTRY DecryptMessage(PCtxtHandle context, PSecBufferDesc message, ULONG seqNo, PULONG qop);
SECURITY_STATUS SEC_ENTRY ImpersonateSecurityContext(PCtxtHandle context);
SECURITY_STATUS SEC_ENTRY RevertSecurityContext(PCtxtHandle context);
SECURITY_STATUS SEC_ENTRY DeleteSecurityContext(PCtxtHandle context);
SECURITY_STATUS SEC_ENTRY FreeContextBuffer(void* buffer);
}
