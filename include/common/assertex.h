// Checks of the program's own invariants. A failed check writes a
// software-failure message naming the check, its values and the last error,
// then a short message for the user, and execution carries on after it.
// Every check text is the macro's own source text. Any thread may fail a check.
#pragma once

#include <windows.h>
#include <stdint.h>
#include <string>
#include <type_traits>

#include "common/debug.h"

#define DIM(a) (sizeof(a) / sizeof((a)[0]))

// Names and values of up to two operands; a null name means the pair is absent.
void ReportAssertion(const char* pszFile, int nLine, const char* pszCheck, const char* pszName1,
                     long long llValue1, const char* pszName2, long long llValue2);
void ReportSoftwareError(const char* pszFile, int nLine, const char* pszCheck, const std::string& csPair1,
                         const std::string& csPair2);

// Compares a and b with an operator given as text, at run time.
BOOL VerifyCondition(const char* pszFile, int nLine, const char* pszCheck, const char* pszNameA, long long llA,
                     const char* pszCondition, const char* pszNameB, long long llB);

template <typename T_>
inline long long CheckValue(const T_& value)
{
    if constexpr (std::is_pointer<T_>::value || std::is_null_pointer<T_>::value)
        return (long long)(intptr_t)value;
    else if constexpr (std::is_enum<T_>::value)
        return (long long)value;
    else if constexpr (std::is_integral<T_>::value)
        return (long long)value;
    else
        return (long long)value;
}

#define CHECK_FAILED_(check, n1, v1, n2, v2) ReportAssertion(__FILE__, __LINE__, check, n1, v1, n2, v2)

#define ASSERT_TRUE(e)                                                \
    do {                                                              \
        if (!(e))                                                     \
            CHECK_FAILED_("ASSERT_TRUE(" #e ")", NULL, 0, NULL, 0);   \
    } while (0)

#define ASSERT_COND(a, op, b)                                                                          \
    do {                                                                                               \
        const auto checkA_ = (a);                                                                      \
        const auto checkB_ = (b);                                                                      \
        if (!(checkA_ op checkB_))                                                                     \
            CHECK_FAILED_("ASSERT_COND(" #a ", " #op ", " #b ")", #a, CheckValue(checkA_), #b,         \
                          CheckValue(checkB_));                                                        \
    } while (0)

#define ASSERT_NULL(p)                                                                    \
    do {                                                                                  \
        const auto checkP_ = (p);                                                         \
        if (checkP_ != 0)                                                                 \
            CHECK_FAILED_("ASSERT_NULL(" #p ")", #p, CheckValue(checkP_), NULL, 0);      \
    } while (0)

#define ASSERT_NOT_NULL(p)                                                                \
    do {                                                                                  \
        const auto checkP_ = (p);                                                         \
        if (checkP_ == 0)                                                                 \
            CHECK_FAILED_("ASSERT_NOT_NULL(" #p ")", #p, CheckValue(checkP_), NULL, 0);  \
    } while (0)

#define ASSERT_BOOL(x)                                                                    \
    do {                                                                                  \
        const long long checkX_ = (long long)(x);                                         \
        if (checkX_ != 0 && checkX_ != 1)                                                 \
            CHECK_FAILED_("ASSERT_BOOL(" #x ")", #x, checkX_, NULL, 0);                   \
    } while (0)

#define ASSERT_VALID_HANDLE(h)                                                                 \
    do {                                                                                       \
        const HANDLE checkH_ = (h);                                                            \
        if (checkH_ == NULL || checkH_ == INVALID_HANDLE_VALUE)                                \
            CHECK_FAILED_("ASSERT_VALID_HANDLE(" #h ")", #h, CheckValue(checkH_), NULL, 0);   \
    } while (0)

#define ASSERT_INVALID_HANDLE(h)                                                               \
    do {                                                                                       \
        const HANDLE checkH_ = (h);                                                            \
        if (checkH_ != NULL && checkH_ != INVALID_HANDLE_VALUE)                                \
            CHECK_FAILED_("ASSERT_INVALID_HANDLE(" #h ")", #h, CheckValue(checkH_), NULL, 0); \
    } while (0)

// The checks as expressions that also guard: each reports a failure exactly
// as its ASSERT_ form does and yields whether the check held, so that one
// line both reports a fault and keeps the code from running into it:
//     if (!CHECK_NOT_NULL(pBlock)) return FALSE;
#define CHECK_TRUE(e)                                                       \
    ([&]() -> BOOL {                                                        \
        if (e)                                                              \
            return TRUE;                                                    \
        CHECK_FAILED_("ASSERT_TRUE(" #e ")", NULL, 0, NULL, 0);             \
        return FALSE;                                                       \
    }())

#define CHECK_NOT_NULL(p)                                                               \
    ([&]() -> BOOL {                                                                    \
        const auto checkP_ = (p);                                                       \
        if (checkP_ != 0)                                                               \
            return TRUE;                                                                \
        CHECK_FAILED_("ASSERT_NOT_NULL(" #p ")", #p, CheckValue(checkP_), NULL, 0);     \
        return FALSE;                                                                   \
    }())

#define CHECK_NULL(p)                                                                   \
    ([&]() -> BOOL {                                                                    \
        const auto checkP_ = (p);                                                       \
        if (checkP_ == 0)                                                               \
            return TRUE;                                                                \
        CHECK_FAILED_("ASSERT_NULL(" #p ")", #p, CheckValue(checkP_), NULL, 0);         \
        return FALSE;                                                                   \
    }())

#define CHECK_COND(a, op, b)                                                                           \
    ([&]() -> BOOL {                                                                                   \
        const auto checkA_ = (a);                                                                      \
        const auto checkB_ = (b);                                                                      \
        if (checkA_ op checkB_)                                                                        \
            return TRUE;                                                                               \
        CHECK_FAILED_("ASSERT_COND(" #a ", " #op ", " #b ")", #a, CheckValue(checkA_), #b,             \
                      CheckValue(checkB_));                                                            \
        return FALSE;                                                                                  \
    }())

// The call is part of the program's work; only its result is checked (exactly TRUE).
#define VERIFY_TRUE(call)                                              \
    do {                                                               \
        if ((long long)(call) != 1)                                    \
            CHECK_FAILED_("VERIFY_TRUE(" #call ")", NULL, 0, NULL, 0); \
    } while (0)

// VERIFY_COND(a, "<", b): the operator is text interpreted at run time.
#define VERIFY_COND(a, cond, b)                                                                       \
    VerifyCondition(__FILE__, __LINE__, "VERIFY_COND(" #a ", " #cond ", " #b ")", #a, CheckValue(a), \
                    cond, #b, CheckValue(b))

// Receives finished debug messages (the notifier and the failure report).
class CDebugReporter
{
public:
    CDebugReporter() : m_fActive(TRUE) {}
    virtual ~CDebugReporter() {}
    // Returns the reporter's m_fActive afterwards (1: continue for the failure report).
    virtual BOOL Report(const CDebugRecord& record) = 0;

    BOOL m_fActive;
};

// The "Software Failure" box, shown only while g_fSoftwareFailureBox is on.
class CFailureReporter : public CDebugReporter
{
public:
    virtual BOOL Report(const CDebugRecord& record) override;
    // The text the box shows.
    static std::string BuildText(const CDebugRecord& record);
};
