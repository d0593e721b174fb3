// CWideString: a string of 16-bit characters (UTF-16) with value semantics.
// It carries wide text through the serializer and the performance data.
// The characters are always zero-terminated; every empty string hands out
// the same static empty buffer. Built from a counted wide buffer, copied
// from another, or converted from an 8-bit string in the ANSI code page.
// A plain value: any thread may use its own copies.
#pragma once

#include <windows.h>
#include <string>

class CWideString
{
public:
    CWideString() {}
    // The first cch characters of pwch (which need no terminator); a null
    // pointer or a count of 0 or less gives the empty string.
    CWideString(const WCHAR* pwch, int cch);
    // Up to the terminating zero; null gives the empty string.
    explicit CWideString(const WCHAR* pwsz);
    // Converted from the ANSI code page.
    explicit CWideString(const char* psz);
    explicit CWideString(const std::string& cs);

    // Zero-terminated characters; never null.
    const WCHAR* GetString() const;
    operator const WCHAR*() const { return GetString(); }
    int GetLength() const { return (int)m_ws.size(); }
    // Characters the string can hold before it must grow; 0 when it shares
    // the empty buffer.
    int GetCapacity() const { return m_ws.empty() ? 0 : (int)m_ws.capacity(); }
    BOOL IsEmpty() const { return m_ws.empty(); }
    void Empty();

    void Assign(const WCHAR* pwch, int cch);
    // Converted to the ANSI code page up to the first zero character.
    std::string ToAnsi() const;

    BOOL operator==(const CWideString& rhs) const { return m_ws == rhs.m_ws; }
    BOOL operator!=(const CWideString& rhs) const { return m_ws != rhs.m_ws; }

private:
    std::wstring m_ws;
};

// Converts a counted wide buffer (up to its first zero) to the ANSI code page.
std::string WideToAnsi(const WCHAR* pwch, int cch);
