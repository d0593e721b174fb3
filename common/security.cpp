// Security attributes handed to the Win32 calls that create kernel objects.
#include "common/win32.h"

#include <stdlib.h>

#include "common/assertex.h"
#include "common/handle.h"

CSecurityAttributes::CSecurityAttributes() : m_psd(NULL)
{
    m_sa.nLength = sizeof(m_sa);
    m_sa.lpSecurityDescriptor = NULL;
    m_sa.bInheritHandle = FALSE;
}

CSecurityAttributes::~CSecurityAttributes()
{
    free(m_psd);
    m_psd = NULL;
    m_sa.lpSecurityDescriptor = NULL;
}

void CSecurityAttributes::SetNullDacl()
{
    // The attributes may already point at the old descriptor: unhook it first.
    m_sa.lpSecurityDescriptor = NULL;
    free(m_psd);
    m_psd = (PSECURITY_DESCRIPTOR)malloc(SECURITY_DESCRIPTOR_MIN_LENGTH);
    if (!CHECK_NOT_NULL(m_psd))
        return;
    VERIFY_TRUE(::InitializeSecurityDescriptor(m_psd, SECURITY_DESCRIPTOR_REVISION));
    VERIFY_TRUE(::SetSecurityDescriptorDacl(m_psd, TRUE, (PACL) NULL, FALSE));
    m_sa.lpSecurityDescriptor = m_psd;
}

BOOL CSecurityAttributes::SetPrivateDacl()
{
    m_sa.lpSecurityDescriptor = NULL;
    free(m_psd);
    m_psd = NULL;
    // The process's own account, from its token.
    CHandle hToken;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, hToken.Receive()))
        return FALSE;
    BYTE abUser[256];
    DWORD cbUser = 0;
    if (!::GetTokenInformation(hToken.Get(), TokenUser, abUser, sizeof abUser, &cbUser))
        return FALSE;
    BYTE abAdmins[SECURITY_MAX_SID_SIZE];
    BYTE abSystem[SECURITY_MAX_SID_SIZE];
    DWORD cbAdmins = sizeof abAdmins;
    DWORD cbSystem = sizeof abSystem;
    if (!::CreateWellKnownSid(WinBuiltinAdministratorsSid, NULL, abAdmins, &cbAdmins) ||
        !::CreateWellKnownSid(WinLocalSystemSid, NULL, abSystem, &cbSystem))
        return FALSE;
    PSID apSids[] = {abAdmins, abSystem, ((TOKEN_USER*)abUser)->User.Sid};
    DWORD cbAcl = sizeof(ACL);
    for (PSID pSid : apSids)
        cbAcl += sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD) + ::GetLengthSid(pSid);
    // One allocation holds the descriptor and its list, so that the
    // destructor's free releases both.
    m_psd = (PSECURITY_DESCRIPTOR)malloc(SECURITY_DESCRIPTOR_MIN_LENGTH + cbAcl);
    if (m_psd == NULL) {
        ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    PACL pAcl = (PACL)((BYTE*)m_psd + SECURITY_DESCRIPTOR_MIN_LENGTH);
    BOOL fOk = ::InitializeSecurityDescriptor(m_psd, SECURITY_DESCRIPTOR_REVISION) &&
               ::InitializeAcl(pAcl, cbAcl, ACL_REVISION);
    for (PSID pSid : apSids)
        fOk = fOk && ::AddAccessAllowedAce(pAcl, ACL_REVISION, FILE_ALL_ACCESS, pSid);
    // Protected: nothing inherited widens the list.
    fOk = fOk && ::SetSecurityDescriptorDacl(m_psd, TRUE, pAcl, FALSE) &&
          ::SetSecurityDescriptorControl(m_psd, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
    if (!fOk) {
        const DWORD dwFailure = ::GetLastError();
        free(m_psd);
        m_psd = NULL;
        ::SetLastError(dwFailure);
        return FALSE;
    }
    m_sa.lpSecurityDescriptor = m_psd;
    return TRUE;
}
