// A line's checks beyond its process's existence: READY (start-up waits
// until the program says it serves), HEALTH (a program that stops
// answering is restarted) and MAXMEMORY (one that grows past its limit
// is restarted). CCheckOptions is what the definition file gives;
// CCheckState is where the checks of the current run stand. Both belong to
// their record and are used only by the supervision thread (checks.cpp);
// the probes themselves run on the prober's workers.
#pragma once

#include "probe.h"

// READYTIMEOUT's, HEALTHINTERVAL's and HEALTHTIMEOUT's bound (seconds),
// and HEALTHFAILURES' and MAXMEMORY's (megabytes).
const LONG c_nMaxCheckSeconds = 86400;
const LONG c_nMaxHealthFailures = 1000;
const LONG c_nMaxMemoryMb = 16 * 1024 * 1024;

struct CCheckOptions
{
    CCheckOptions()
        : m_nReadyTimeout(30), m_nHealthInterval(10), m_nHealthTimeout(5), m_nHealthFailures(3), m_nMaxMemoryMb(0)
    {
    }
    CProbeTarget m_ready;
    LONG m_nReadyTimeout;      // seconds
    CProbeTarget m_health;
    LONG m_nHealthInterval;    // seconds
    LONG m_nHealthTimeout;     // seconds
    LONG m_nHealthFailures;
    LONG m_nMaxMemoryMb;       // 0: no limit
    BOOL IsAnySet() const { return m_ready.IsSet() || m_health.IsSet() || m_nMaxMemoryMb > 0; }
};

struct CCheckState
{
    CCheckState()
        : m_dwRun(0), m_fAwaitingReady(FALSE), m_fHoldsStartup(FALSE), m_fProbeInFlight(FALSE), m_ullProbeDueMs(0),
          m_ullReadyDeadlineMs(0), m_ullProbeSentMs(0), m_ullMemoryDueMs(0), m_nFailedInRow(0), m_nHealthy(-1)
    {
    }
    DWORD m_dwRun;               // the key of this run's probes; 0 while nothing is checked
    BOOL m_fAwaitingReady;       // started with READY, not yet ready: shown as starting
    BOOL m_fHoldsStartup;        // started by the start-up: the next line waits until it is ready
    BOOL m_fProbeInFlight;
    ULONGLONG m_ullProbeDueMs;   // the next probe, or the ready deadline; 0: none
    ULONGLONG m_ullReadyDeadlineMs;
    ULONGLONG m_ullProbeSentMs;
    ULONGLONG m_ullMemoryDueMs;  // 0: none
    LONG m_nFailedInRow;
    int m_nHealthy;              // -1 before this run's first health probe, else 0 or 1
};

// Checks are run at multiples of this (monotonic ms), at most this late.
const DWORD c_dwCheckGridMs = 500;
// How often a line with MAXMEMORY is measured.
const DWORD c_dwMemoryCheckMs = 2000;
// How often a line that is not ready yet is probed, and each probe's bound.
const DWORD c_dwReadyPollMs = 250;
const DWORD c_dwReadyProbeMs = 2000;
