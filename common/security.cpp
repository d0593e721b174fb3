// Security attributes handed to the Win32 calls that create kernel objects.
#include "common/win32.h"

#include <stdlib.h>

#include "common/assertex.h"

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
    ASSERT_NOT_NULL(m_psd);
    if (m_psd == NULL)
        return;
    VERIFY_TRUE(::InitializeSecurityDescriptor(m_psd, SECURITY_DESCRIPTOR_REVISION));
    VERIFY_TRUE(::SetSecurityDescriptorDacl(m_psd, TRUE, (PACL) NULL, FALSE));
    m_sa.lpSecurityDescriptor = m_psd;
}
