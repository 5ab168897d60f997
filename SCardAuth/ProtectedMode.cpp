#include "ProtectedMode.h"

#include <windows.h>

#include <vector>

#include "UniqueHandle.h"

bool IsBelowMediumIntegrity()
{
    tsmb::UniqueHandle token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.Put())) {
        token.Release();
        return false;
    }
    // A system without integrity levels, or one that cannot tell, is taken as it always was.
    DWORD size = 0;
    GetTokenInformation(token.Get(), TokenIntegrityLevel, nullptr, 0, &size);
    std::vector<BYTE> label(size ? size : 1);
    const bool read = size >= sizeof(TOKEN_MANDATORY_LABEL) &&
                      GetTokenInformation(token.Get(), TokenIntegrityLevel, label.data(), size, &size);
    if (!read)
        return false;
    PSID sid = reinterpret_cast<TOKEN_MANDATORY_LABEL*>(label.data())->Label.Sid;
    if (!sid || !IsValidSid(sid) || *GetSidSubAuthorityCount(sid) == 0)
        return false;
    return *GetSidSubAuthority(sid, *GetSidSubAuthorityCount(sid) - 1u) < SECURITY_MANDATORY_MEDIUM_RID;
}
