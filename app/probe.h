// CProbeTarget: what a READY or HEALTH probe looks at, read from its
// definition-file text, and RunProbe, which looks once within a time-out.
// A target is a plain value; RunProbe blocks its caller for up to the
// time-out, so only the prober's workers (prober.h) and tests call it,
// never the supervision thread.
//
//   CProbeTarget target;
//   if (target.Parse("http://127.0.0.1:8080/health", PROBE_KINDS_HEALTH))
//       BOOL fOk = RunProbe(target, 5000);
#pragma once

#include <string>

#include "common/win32.h"

enum
{
    PROBE_NONE,
    PROBE_TCP,     // a TCP connect succeeds
    PROBE_HTTP,    // a GET is answered with a 2xx status
    PROBE_FILE,    // the file exists
    PROBE_EVENT    // the named event is set
};

// Which kinds a keyword accepts (bits of 1 << PROBE_*).
const DWORD PROBE_KINDS_READY = (1u << PROBE_TCP) | (1u << PROBE_HTTP) | (1u << PROBE_FILE) | (1u << PROBE_EVENT);
const DWORD PROBE_KINDS_HEALTH = (1u << PROBE_TCP) | (1u << PROBE_HTTP);

struct CProbeTarget
{
    CProbeTarget() : m_nKind(PROBE_NONE), m_wPort(0) {}
    // "tcp:PORT", "tcp:HOST:PORT", "http://HOST[:PORT][/PATH]",
    // "file:PATH", "event:NAME", of the kinds in dwKinds. FALSE (the target
    // left empty) for anything else.
    BOOL Parse(const std::string& csText, DWORD dwKinds);
    BOOL IsSet() const { return m_nKind != PROBE_NONE; }

    int m_nKind;
    std::string m_csHost;   // TCP and HTTP; 127.0.0.1 when tcp:PORT names none
    WORD m_wPort;
    std::string m_csPath;   // the HTTP path, the file's path or the event's name
};

// The status of an HTTP response from its first bytes ("HTTP/1.1 204 ..."):
// FALSE while the status line is incomplete or not HTTP.
BOOL ParseHttpStatus(const std::string& csHead, int& nStatus);

// Looks once: TRUE when the target is ready or healthy. Returns within
// about dwTimeoutMs, except for the name lookup of a host given by name.
BOOL RunProbe(const CProbeTarget& target, DWORD dwTimeoutMs);
