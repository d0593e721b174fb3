// CProber: runs probes for the supervision thread on worker threads of its
// own, so that a probe of a hung server never holds the loop. It owns its
// workers (made on demand, up to c_nMaxProbeWorkers, kept while it lives),
// the queue of probes asked for and the queue of results. The supervision
// thread submits and takes results and never waits: it waits on m_evResults
// with everything else. A worker still inside a probe when the prober is
// destroyed ends after that probe, on its own; what it shares with the
// prober lives as long as the last of them.
//
//   prober.Submit({dwKey, target, dwTimeoutMs});
//   ... m_evResults fires ... prober.TakeResults(aResults);
#pragma once

#include <memory>
#include <vector>

#include "probe.h"

// Probes that run at once; more wait in the queue. Each worker is mostly
// asleep in a select, so a few dozen cost little.
const int c_nMaxProbeWorkers = 16;

struct CProbeRequest
{
    DWORD m_dwKey;         // the caller's, handed back with the result
    CProbeTarget m_target;
    DWORD m_dwTimeoutMs;
};

struct CProbeResult
{
    DWORD m_dwKey;
    BOOL m_fOk;
};
typedef std::vector<CProbeResult> CProbeResultArray;

struct CProberShared;

class CProber
{
public:
    CProber();
    ~CProber();

    // Queues a probe; a worker takes it at once when one is free. Never
    // waits but for the queue's lock. FALSE (last error set) when no
    // worker could be made and none runs: the caller counts it as failed.
    BOOL Submit(const CProbeRequest& request);
    // Moves every result that has come into aResults, in order.
    void TakeResults(CProbeResultArray& aResults);
    // How many workers have been made (for the benchmark and tests).
    int GetWorkerCount() const;

    CKernelEvent m_evResults;   // auto-reset; set when a result is queued

private:
    std::shared_ptr<CProberShared> m_pShared;
};
