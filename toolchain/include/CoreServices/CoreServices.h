// The identity-service part of Core Services the macOS backend uses,
// declared from Apple's documented interface (CSIdentity.h,
// CSIdentityQuery.h, CSIdentityAuthority.h) for a build without the SDK.
#pragma once

#include <CoreFoundation/CoreFoundation.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct __CSIdentity* CSIdentityRef;
typedef struct __CSIdentityQuery* CSIdentityQueryRef;
typedef struct __CSIdentityAuthority* CSIdentityAuthorityRef;
typedef CFIndex CSIdentityClass;
typedef CFOptionFlags CSIdentityQueryFlags;
typedef struct __CFError* CFErrorRef;

enum { kCSIdentityClassUser = 1 };

CSIdentityAuthorityRef CSGetLocalIdentityAuthority(void);
CSIdentityQueryRef CSIdentityQueryCreate(CFAllocatorRef allocator, CSIdentityClass identityClass,
                                         CSIdentityAuthorityRef authority);
Boolean CSIdentityQueryExecute(CSIdentityQueryRef query, CSIdentityQueryFlags flags,
                               CFErrorRef* error);
CFArrayRef CSIdentityQueryCopyResults(CSIdentityQueryRef query);
CFStringRef CSIdentityGetPosixName(CSIdentityRef identity);

#ifdef __cplusplus
}
#endif
