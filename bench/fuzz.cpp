// Fuzz runs. Pipe records: random, truncated, lying and oversized records
// from several clients at once against a running supervisor, which must
// neither crash nor hang and must answer a well-formed client afterwards.
// Definition files: random keywords, values, quotes, continuations, NUL
// bytes and very long lines, each file run by a supervisor of its own; it
// must end (having said why, with a line number in range) or run and
// answer, and a planted error must be reported at its exact line.
#include <stdio.h>

#include <atomic>
#include <memory>

#include "benchmarks.h"
#include "exitcode.h"
#include "benchutil.h"
#include "e2e_util.h"

namespace {

// ---------------------------------------------------------------------------
// Pipe records

const int c_cFuzzChildren = 5;

template <typename T_, size_t N_>
DWORD CountOf(T_ (&)[N_])
{
    return (DWORD)N_;
}
const int c_cFuzzClients = 4;

std::string DwordBytes(DWORD dw)
{
    return std::string((const char*)&dw, 4);
}

// The wire format: block count, the lengths, the blocks.
std::string BuildRecord(const std::vector<std::string>& acsBlocks)
{
    std::string cs = DwordBytes((DWORD)acsBlocks.size());
    for (const std::string& csBlock : acsBlocks)
        cs += DwordBytes((DWORD)csBlock.size());
    for (const std::string& csBlock : acsBlocks)
        cs += csBlock;
    return cs;
}

std::string RandomBytes(CRandom& random, size_t cb)
{
    std::string cs(cb, '\0');
    for (char& ch : cs)
        ch = (char)random.Below(256);
    return cs;
}

std::string RandomName(CRandom& random, BOOL fAllowAll)
{
    const DWORD dw = random.Below(100);
    if (dw < 10)
        return std::string();
    if (dw < 35) {
        std::string cs = StrFormat("bfz%d", 1 + (int)random.Below(c_cFuzzChildren));
        if (random.Chance(50))
            cs += random.Chance(50) ? ".exe" : ".EXE";
        return random.Chance(30) ? StrUpper(cs) : cs;
    }
    if (dw < 38)
        return fAllowAll ? (random.Chance(50) ? "all" : "ALL.exe") : "bfz1";
    if (dw < 40)
        return ".exe";
    if (dw < 80)
        return RandomBytes(random, 1 + random.Below(64));
    if (dw < 85)
        return RandomBytes(random, 1000 + random.Below(70000));
    std::string cs = "fz";
    for (DWORD i = random.Below(20); i > 0; i--)
        cs += (char)('a' + random.Below(26));
    return cs;
}

// A record that parses: the eight blocks with random contents.
std::string WellFormedRecord(CRandom& random)
{
    static const DWORD s_adwKinds[] = {1, 1, 2, 2, 2, 3, 4, 5, 6, 7, 0, 8, 9, 100, 0x7FFFFFFF, 0xFFFFFFFF};
    const DWORD dwKind = random.Chance(80) ? s_adwKinds[random.Below(CountOf(s_adwKinds))] : (DWORD)random.Next();
    // A stop or terminate of everything would only slow the run down.
    const BOOL fAllowAll = dwKind == 2;
    std::vector<std::string> acsBlocks = {DwordBytes(1), DwordBytes(random.Chance(90) ? 1 : (DWORD)random.Next()),
                                          DwordBytes(dwKind), RandomName(random, fAllowAll),
                                          random.Chance(70) ? std::string() : RandomBytes(random, random.Below(300)),
                                          DwordBytes((DWORD)random.Next()),
                                          random.Chance(80) ? std::string() : RandomName(random, FALSE),
                                          random.Chance(80) ? std::string() : RandomBytes(random, random.Below(100))};
    return BuildRecord(acsBlocks);
}

// One record of the fuzz, by the roll of a die.
std::string FuzzRecord(CRandom& random, DWORD& dwClass)
{
    dwClass = random.Below(1000);
    if (dwClass < 450)
        return WellFormedRecord(random);
    if (dwClass < 650) {
        // Truncated: at least two bytes, so as not to be a one-byte message.
        std::string cs = WellFormedRecord(random);
        return cs.substr(0, 2 + random.Below((DWORD)cs.size() - 2));
    }
    if (dwClass < 750)
        return RandomBytes(random, 2 + random.Below(2000));
    if (dwClass < 850) {
        // A table that lies: counts and lengths past the bytes, lengths
        // whose sum wraps around 32 bits, negative lengths.
        static const DWORD s_adwCounts[] = {0, 1, 7, 8, 9, 0x10000, 0x10001, 0x7FFFFFFF, 0xFFFFFFFF};
        const DWORD cBlocks = random.Chance(70) ? s_adwCounts[random.Below(CountOf(s_adwCounts))]
                                                : (DWORD)random.Next();
        std::string cs = DwordBytes(cBlocks);
        const DWORD cLengths = std::min<DWORD>(cBlocks, 1 + random.Below(12));
        for (DWORD i = 0; i < cLengths; i++) {
            static const DWORD s_adwLengths[] = {0, 4, 0x80000000, 0x7FFFFFFF, 0xFFFFFFFF, 0xFFFFFFFC, 0x10000};
            cs += DwordBytes(random.Chance(60) ? s_adwLengths[random.Below(CountOf(s_adwLengths))]
                                               : (DWORD)random.Next());
        }
        return cs + RandomBytes(random, random.Below(64));
    }
    if (dwClass < 880) {
        // Oversized: up to 1 MB, as a record with a huge name or as noise.
        const size_t cb = 65536 + random.Below(1 << 20);
        if (random.Chance(50))
            return BuildRecord({DwordBytes(1), DwordBytes(1), DwordBytes(2), RandomBytes(random, cb), "",
                                DwordBytes(0), "", ""});
        return RandomBytes(random, cb);
    }
    if (dwClass < 999) {
        // A record with extra blocks, or with bytes after it.
        std::string cs = WellFormedRecord(random);
        if (random.Chance(50))
            return cs + RandomBytes(random, 1 + random.Below(100));
        std::vector<std::string> acsBlocks = {DwordBytes(1), DwordBytes(1), DwordBytes(3), "", "", DwordBytes(0),
                                              "", ""};
        for (DWORD i = 1 + random.Below(4); i > 0; i--)
            acsBlocks.push_back(RandomBytes(random, random.Below(16)));
        return BuildRecord(acsBlocks);
    }
    // One byte or none: dropped by the pipe (floods of them are the attack
    // run's).
    return random.Chance(50) ? std::string(1, (char)random.Below(256)) : std::string();
}

struct CPipeFuzzShared
{
    std::string m_csExeName;
    DWORD m_cRecords = 0;
    unsigned long long m_ullSeed = 0;
    std::atomic<long> m_cSent{0};
    std::atomic<long> m_cReconnects{0};
    std::atomic<long> m_cSendTimeouts{0};
};

struct CPipeFuzzThread
{
    CPipeFuzzShared* m_pShared;
    int m_nIndex;
};

DWORD WINAPI PipeFuzzLoop(LPVOID pv)
{
    CPipeFuzzThread* pThread = static_cast<CPipeFuzzThread*>(pv);
    CPipeFuzzShared& shared = *pThread->m_pShared;
    CRandom random(shared.m_ullSeed * 31 + (unsigned)pThread->m_nIndex + 1);
    CTestClient client;
    long cSinceDiscard = 0;
    while (shared.m_cSent < (long)shared.m_cRecords) {
        if (!client.IsConnected() || client.HasEnded() || random.Chance(1)) {
            if (!client.Connect(shared.m_csExeName, 20000))
                return 1;
            shared.m_cReconnects++;
        }
        DWORD dwClass = 0;
        const std::string csRecord = FuzzRecord(random, dwClass);
        shared.m_cSent++;
        if (!client.SendRaw(csRecord.data(), (DWORD)csRecord.size(), 30000)) {
            if (::GetLastError() == ERROR_TIMEOUT)
                shared.m_cSendTimeouts++;
            client.Close();
        }
        if (++cSinceDiscard >= 200) {
            client.Discard();
            cSinceDiscard = 0;
        }
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Definition files

const char* const c_apszValueless[] = {"master", "noconsole", "newconsole", "min",    "hidden", "high",
                                       "normal", "idle",      "noauto",     "nowatch", "quit",  "NoStart",
                                       "NoStop"};
const char* const c_apszValued[] = {"title",  "ypos",  "xpos",         "ysize", "xsize",    "ybuf",
                                    "xbuf",   "cd",    "group",        "exit",  "restartdelay", "quitdelay",
                                    "unique", "nounique", "monitorevsem"};

std::string RandomCase(CRandom& random, const std::string& cs)
{
    std::string csOut = cs;
    for (char& ch : csOut) {
        if (random.Chance(30))
            ch = (char)(random.Chance(50) ? toupper((unsigned char)ch) : tolower((unsigned char)ch));
    }
    return csOut;
}

std::string FuzzWord(CRandom& random)
{
    std::string cs = "fz";
    for (DWORD i = random.Below(10); i > 0; i--)
        cs += (char)('a' + random.Below(26));
    return cs;
}

std::string ValueFor(CRandom& random, const std::string& csKeyword)
{
    if (csKeyword == "title" || csKeyword == "cd" || csKeyword == "unique" || csKeyword == "nounique" ||
        csKeyword == "monitorevsem")
        return random.Chance(50) ? FuzzWord(random) : "\"" + FuzzWord(random) + " " + FuzzWord(random) + "\"";
    // Long restart delays: a line whose start fails is retried after it.
    if (csKeyword == "restartdelay")
        return StrFormat("%lu", 600 + random.Below(1000));
    return StrFormat("%lu", random.Below(2000));
}

// Keywords of which a line takes only the first it holds; the others
// would be left over.
BOOL ExcludesAnother(const std::string& csKeyword, const std::vector<std::string>& acsUsed)
{
    static const char* const s_apszGroups[][3] = {{"noconsole", "newconsole", ""}, {"high", "normal", "idle"}};
    for (const auto& apszGroup : s_apszGroups) {
        BOOL fInGroup = FALSE;
        for (const char* psz : apszGroup)
            fInGroup |= csKeyword == psz;
        for (const std::string& csUsed : acsUsed) {
            for (const char* psz : apszGroup)
                if (fInGroup && *psz != '\0' && csUsed == psz)
                    return TRUE;
        }
    }
    for (const std::string& csUsed : acsUsed) {
        if (csUsed == csKeyword)
            return TRUE;
    }
    return FALSE;
}

// A process line that parses: keywords, each valued one with its value
// right after it, and the command line, in any order.
std::string ValidProcessLine(CRandom& random)
{
    std::vector<std::string> acsUnits;
    std::vector<std::string> acsUsed;
    for (DWORD i = random.Below(5); i > 0; i--) {
        const BOOL fValueless = random.Chance(50);
        const std::string csKeyword = fValueless ? c_apszValueless[random.Below(CountOf(c_apszValueless))]
                                                 : c_apszValued[random.Below(CountOf(c_apszValued))];
        if (ExcludesAnother(csKeyword, acsUsed))
            continue;
        acsUsed.push_back(csKeyword);
        if (fValueless)
            acsUnits.push_back((random.Chance(70) ? "-" : "/") + RandomCase(random, csKeyword));
        else
            acsUnits.push_back("-" + RandomCase(random, csKeyword) + " " + ValueFor(random, csKeyword));
    }
    std::string csCommand = FuzzWord(random) + ".exe";
    if (random.Chance(50))
        csCommand = "\"" + csCommand + " -" + FuzzWord(random) + " " + StrFormat("%lu", random.Below(99)) + "\"";
    acsUnits.insert(acsUnits.begin() + random.Below((DWORD)acsUnits.size() + 1), csCommand);
    std::string csLine;
    for (const std::string& csUnit : acsUnits)
        csLine += (csLine.empty() ? "" : (random.Chance(80) ? " " : "\t")) + csUnit;
    return csLine;
}

// Physical lines that parse, one entry (continued or not) at a time.
std::vector<std::string> ValidEntry(CRandom& random)
{
    const DWORD dw = random.Below(100);
    // A comment is skipped before the continuation rule is looked at.
    if (dw < 20)
        return {"# " + FuzzWord(random) + " \"x\" \\"};
    if (dw < 30)
        return {random.Chance(50) ? std::string() : std::string(" \t \r")};
    if (dw < 35)
        return {random.Chance(50) ? "-global -allowclose" : "/LIFOSHUTDOWN -GLOBAL"};
    const std::string csLine = ValidProcessLine(random);
    if (dw < 45) {
        // Continued after a blank: the first part ends with a lone backslash.
        const size_t iSplit = csLine.find(' ');
        if (iSplit != std::string::npos && csLine.find('"') == std::string::npos)
            return {csLine.substr(0, iSplit) + " \\", csLine.substr(iSplit + 1)};
    }
    return {csLine};
}

// A token of the chaos files.
std::string ChaosToken(CRandom& random)
{
    const DWORD dw = random.Below(100);
    if (dw < 30) {
        static const char* const s_apszPrefixes[] = {"-", "/", "--", ""};
        const char* pszKeyword = random.Chance(50) ? c_apszValueless[random.Below(CountOf(c_apszValueless))]
                                                   : c_apszValued[random.Below(CountOf(c_apszValued))];
        std::string csKeyword = random.Chance(10) ? std::string("global") : pszKeyword;
        if (random.Chance(10))
            csKeyword = random.Chance(50) ? "allowclose" : "lifoshutdown";
        return s_apszPrefixes[random.Below(4)] + RandomCase(random, csKeyword);
    }
    if (dw < 45)
        return random.Chance(50) ? StrFormat("%lu", random.Below(100000)) : StrFormat("-%lu", random.Below(100));
    if (dw < 60)
        return FuzzWord(random) + (random.Chance(50) ? ".exe" : "");
    if (dw < 70)
        return "\"" + FuzzWord(random) + (random.Chance(50) ? " \"\"q\"\" " : " ") + FuzzWord(random) +
               (random.Chance(80) ? "\"" : "");
    if (dw < 75)
        return "\\";
    if (dw < 80)
        return "#" + FuzzWord(random);
    if (dw < 85)
        return FuzzWord(random) + std::string(1, '\0') + FuzzWord(random);
    if (dw < 88)
        return "fz" + std::string(10000 + random.Below(100000), (char)('a' + random.Below(26)));
    if (dw < 92)
        return FuzzWord(random) + "\\";
    return "\"\"";
}

std::string ChaosFile(CRandom& random)
{
    std::string csFile;
    for (DWORD cLines = 1 + random.Below(40); cLines > 0; cLines--) {
        const DWORD dw = random.Below(100);
        std::string csLine;
        if (dw < 10) {
            csLine = "#" + RandomBytes(random, random.Below(100));
            for (char& ch : csLine)
                ch = ch == '\n' ? ' ' : ch;
        } else if (dw < 18) {
            csLine = random.Chance(50) ? "" : " \t\r";
        } else if (dw < 25) {
            csLine = ValidProcessLine(random);
        } else {
            for (DWORD cTokens = 1 + random.Below(8); cTokens > 0; cTokens--)
                csLine += (csLine.empty() ? "" : (random.Chance(80) ? " " : "\t")) + ChaosToken(random);
            if (random.Chance(10))
                csLine += " \\";
        }
        csFile += csLine + (random.Chance(80) ? "\n" : "\r\n");
    }
    if (random.Chance(20) && !csFile.empty())
        csFile.pop_back();
    return csFile;
}

size_t CountPhysicalLines(const std::string& csFile)
{
    size_t c = 0;
    for (char ch : csFile)
        c += ch == '\n' ? 1 : 0;
    return c + (!csFile.empty() && csFile.back() != '\n' ? 1 : 0);
}

// The listener's lines (time, pid, module, thread, kind, source, text)
// for one process: the texts of the shown messages.
std::vector<std::string> ShownMessagesOf(const std::string& csListenerFile, DWORD dwProcessId)
{
    std::string csText;
    ReadTextFile(csListenerFile, csText);
    std::vector<std::string> acsTexts;
    for (const std::string& csLine : SplitLines(csText)) {
        std::vector<std::string> acsFields;
        size_t iStart = 0;
        for (int i = 0; i < 6; i++) {
            const size_t iTab = csLine.find('\t', iStart);
            if (iTab == std::string::npos)
                break;
            acsFields.push_back(csLine.substr(iStart, iTab - iStart));
            iStart = iTab + 1;
        }
        if (acsFields.size() == 6 && strtoul(acsFields[1].c_str(), NULL, 10) == dwProcessId &&
            (strtoul(acsFields[4].c_str(), NULL, 10) & 2) != 0)
            acsTexts.push_back(csLine.substr(iStart));
    }
    return acsTexts;
}

// The line number a definition-file message names, or 0.
size_t LineNumberIn(const std::string& csMessage)
{
    size_t i = csMessage.find(" on line ");
    if (i != std::string::npos)
        return strtoul(csMessage.c_str() + i + 9, NULL, 10);
    if (csMessage.compare(0, 12, "Error: Line ") == 0)
        return strtoul(csMessage.c_str() + 12, NULL, 10);
    return 0;
}

BOOL IsDefinitionMessage(const std::string& csMessage)
{
    return LineNumberIn(csMessage) != 0 || csMessage.find("does not specify any processes") != std::string::npos ||
           csMessage.find("could not be opened") != std::string::npos ||
           csMessage.compare(0, 19, "Could not read from") == 0;
}

// Serves the "debugger" pipe with dbglisten.exe while it lives.
class CListener
{
public:
    CListener() : m_hProcess(NULL) {}
    ~CListener()
    {
        if (m_hProcess != NULL) {
            ::TerminateProcess(m_hProcess, 0);
            ::WaitForSingleObject(m_hProcess, 5000);
            ::CloseHandle(m_hProcess);
        }
    }
    BOOL Start(const std::string& csOutput)
    {
        m_csOutput = csOutput;
        std::string csCommandLine = "\"" + GetTestDirectory() + "dbglisten.exe\" -p debugger -o \"" + csOutput + "\"";
        std::vector<char> acCommandLine(csCommandLine.begin(), csCommandLine.end());
        acCommandLine.push_back('\0');
        STARTUPINFOA si = {};
        si.cb = sizeof si;
        PROCESS_INFORMATION pi = {};
        if (!::CreateProcessA(NULL, acCommandLine.data(), NULL, NULL, FALSE, DETACHED_PROCESS, NULL, NULL, &si, &pi))
            return FALSE;
        ::CloseHandle(pi.hThread);
        m_hProcess = pi.hProcess;
        for (int i = 0; i < 100; i++) {
            if (::WaitNamedPipeA("\\\\.\\pipe\\debugger", 100))
                return TRUE;
            if (::WaitForSingleObject(m_hProcess, 0) == WAIT_OBJECT_0)
                return FALSE;
            ::Sleep(50);
        }
        return FALSE;
    }
    std::string m_csOutput;

private:
    HANDLE m_hProcess;
};

}  // namespace

CFuzzResult RunPipeFuzz(const CBenchOptions& options, DWORD cRecords)
{
    CFuzzResult result;
    CProbedRun run;
    run.SetChildPrefix("bfz");
    KillProcessesWithPrefix("bfz");
    std::string csDefinition;
    BOOL fPrepared = run.Prepare("ovbfuzz.exe");
    for (int i = 1; i <= c_cFuzzChildren && fPrepared; i++) {
        fPrepared = run.CopyChild(StrFormat("bfz%d.exe", i));
        csDefinition += StrFormat("-noconsole -restartdelay 1 \"bfz%d.exe -forever\"\n", i);
    }
    CTestClient check;
    if (!fPrepared || !run.Launch(csDefinition) || !check.Connect(run.m_csExeName, 10000) ||
        !check.WaitForText("All services have been started.", 30000)) {
        result.m_csFailure = "the supervisor did not start";
        return result;
    }
    check.Close();
    CPipeFuzzShared shared;
    shared.m_csExeName = run.m_csExeName;
    shared.m_cRecords = cRecords;
    shared.m_ullSeed = options.m_ullSeed;
    CPipeFuzzThread aThreads[c_cFuzzClients];
    HANDLE ahThreads[c_cFuzzClients];
    for (int i = 0; i < c_cFuzzClients; i++) {
        aThreads[i].m_pShared = &shared;
        aThreads[i].m_nIndex = i;
        ahThreads[i] = ::CreateThread(NULL, 0, PipeFuzzLoop, &aThreads[i], 0, NULL);
    }
    // Bounded: a supervisor that stops reading ends the run.
    const DWORD dwLimit = 120000 + cRecords * 20;
    const BOOL fSent = ::WaitForMultipleObjects(c_cFuzzClients, ahThreads, TRUE, dwLimit) == WAIT_OBJECT_0;
    if (!fSent) {
        shared.m_cRecords = 0;
        run.Cleanup();
        ::WaitForMultipleObjects(c_cFuzzClients, ahThreads, TRUE, 30000);
    }
    for (HANDLE hThread : ahThreads)
        ::CloseHandle(hThread);
    result.m_cRecords = (size_t)shared.m_cSent;
    result.m_cReconnects = (size_t)shared.m_cReconnects;

    const BOOL fAlive = !run.HasExited();
    BOOL fAnswered = FALSE;
    if (fAlive && check.Connect(run.m_csExeName, 20000)) {
        std::vector<std::string> acsTexts;
        fAnswered = check.Send(3) && check.WaitForText("Status of all processes:", 30000) &&
                    check.ReceiveTexts(c_cFuzzChildren, 30000, acsTexts);
        check.Close();
    }
    run.Quit();
    const BOOL fEnded = run.WaitForExit(60000);
    const DWORD dwExitCode = run.GetExitCode();
    const size_t cLeft = run.Cleanup();
    if (!fSent)
        result.m_csFailure = StrFormat("the records were not all taken within %lu s", dwLimit / 1000);
    else if (!fAlive)
        result.m_csFailure = StrFormat("the supervisor ended during the fuzz (exit code 0x%lX)", dwExitCode);
    else if (!fAnswered)
        result.m_csFailure = "the supervisor did not answer a well-formed client afterwards";
    else if (!fEnded || dwExitCode != 0)
        result.m_csFailure = StrFormat("the supervisor did not end after quit (exit code 0x%lX)", dwExitCode);
    else if (cLeft != 0)
        result.m_csFailure = StrFormat("%u processes were left running", (unsigned)cLeft);
    result.m_fPassed = result.m_csFailure.empty();
    return result;
}

CFuzzResult RunDefinitionFuzz(const CBenchOptions& options, DWORD cFiles)
{
    CFuzzResult result;
    CRandom random(options.m_ullSeed * 17 + 3);
    const std::string csListenerDir = MakeTempDirectory("ovbench");
    CListener listener;
    if (!listener.Start(csListenerDir + "\\debugger.txt")) {
        result.m_csFailure = "the debugger pipe could not be served (is another listener running?)";
        RemoveDirectoryTree(csListenerDir);
        return result;
    }
    KillProcessesWithPrefix("fz");
    for (DWORD iFile = 0; iFile < cFiles && result.m_csFailure.empty(); iFile++) {
        // Every third file is valid up to one planted error at a known
        // line, every third valid throughout, the rest chaos.
        const BOOL fPlanted = iFile % 3 == 2;
        const BOOL fValid = iFile % 3 == 1;
        std::string csFile;
        size_t iPlantedLine = 0;
        std::string csExpected;
        CProbedRun run;
        run.SetChildPrefix("fz");
        if (!run.Prepare("ovbdef.exe")) {
            result.m_csFailure = "could not prepare a run";
            break;
        }
        const std::string csPath = run.GetPath("ovbdef.inf");
        if (fPlanted) {
            std::vector<std::string> acsLines;
            for (DWORD cEntries = random.Below(15); cEntries > 0; cEntries--) {
                for (const std::string& csLine : ValidEntry(random))
                    acsLines.push_back(csLine);
            }
            const DWORD dwKind = random.Below(4);
            const std::string csToken = FuzzWord(random) + "x";
            if (dwKind == 0) {
                acsLines.push_back(FuzzWord(random) + ".exe -noconsole " + csToken);
                csExpected = "Error: Unexpected \"" + csToken + "\" on line %u of " + csPath;
            } else if (dwKind == 1) {
                acsLines.push_back("-noconsole -title " + csToken);
                csExpected = "Error: Line %u in the .inf file has no command line.";
            } else if (dwKind == 2) {
                acsLines.push_back("-global -allowclose " + csToken);
                csExpected = "Error: Unexpected GLOBAL config token \"" + csToken + "\" on line %u of " + csPath;
            } else {
                // Continued: the error belongs to the entry's last line.
                acsLines.push_back(FuzzWord(random) + ".exe \\");
                acsLines.push_back("# " + csToken);
                csExpected = "Error: Unexpected \"#\" on line %u of " + csPath;
            }
            iPlantedLine = acsLines.size();
            csExpected = StrFormat(csExpected.c_str(), (unsigned)iPlantedLine);
            for (DWORD cAfter = random.Below(5); cAfter > 0; cAfter--)
                acsLines.push_back(ChaosToken(random));
            for (const std::string& csLine : acsLines)
                csFile += csLine + "\n";
        } else if (fValid) {
            // At least one process line, so that the file is accepted.
            for (DWORD cEntries = 1 + random.Below(20); cEntries > 0; cEntries--) {
                for (const std::string& csLine : ValidEntry(random))
                    csFile += csLine + (random.Chance(80) ? "\n" : "\r\n");
            }
            csFile += ValidProcessLine(random) + "\n";
        } else {
            csFile = ChaosFile(random);
        }
        result.m_cFiles++;
        if (!run.Launch(csFile)) {
            result.m_csFailure = "could not start a supervisor";
            break;
        }
        // It either ends (the file was refused) or opens its pipe and runs.
        BOOL fAccepted = FALSE;
        CTestClient client;
        const DWORD dwStart = ::GetTickCount();
        while (!run.HasExited() && !fAccepted && ::GetTickCount() - dwStart < 20000)
            fAccepted = client.Connect(run.m_csExeName, 100);
        if (fAccepted) {
            result.m_cFilesStarted++;
            if (!client.Send(3) || !client.WaitForText("Status of all processes:", 15000)) {
                result.m_csFailure = StrFormat("file %lu was accepted, but status went unanswered", iFile);
            }
            client.Close();
            run.Quit();
        }
        const BOOL fEnded = run.WaitForExit(60000);
        const DWORD dwExitCode = run.GetExitCode();
        const size_t cLeft = run.Cleanup();
        // A refused file ends the run with its own exit code, nothing else does.
        const DWORD dwExpectedExit = fAccepted ? (DWORD)EXIT_CODE_OK : (DWORD)EXIT_CODE_INVALID_DEFINITION;
        if (result.m_csFailure.empty() && (!fEnded || dwExitCode != dwExpectedExit)) {
            result.m_csFailure = fEnded ? StrFormat("file %lu: the supervisor ended with 0x%lX", iFile, dwExitCode)
                                      : StrFormat("file %lu: the supervisor did not end", iFile);
        }
        if (result.m_csFailure.empty() && cLeft != 0)
            result.m_csFailure = StrFormat("file %lu: %u processes were left running", iFile, (unsigned)cLeft);
        // The listener writes a record as it comes; give it a moment.
        std::vector<std::string> acsShown;
        for (int i = 0; i < 40; i++) {
            acsShown = ShownMessagesOf(listener.m_csOutput, run.m_pi.dwProcessId);
            BOOL fHasDefinitionMessage = FALSE;
            for (const std::string& csShown : acsShown)
                fHasDefinitionMessage |= IsDefinitionMessage(csShown);
            if (fAccepted || fHasDefinitionMessage)
                break;
            ::Sleep(50);
        }
        const size_t cLines = CountPhysicalLines(csFile);
        BOOL fReported = FALSE;
        for (const std::string& csShown : acsShown) {
            if (!IsDefinitionMessage(csShown))
                continue;
            fReported = TRUE;
            const size_t iLine = LineNumberIn(csShown);
            if (result.m_csFailure.empty() && iLine > cLines)
                result.m_csFailure = StrFormat("file %lu: line %u named of %u lines: ", iFile, (unsigned)iLine,
                                             (unsigned)cLines) + csShown;
            if (iLine != 0)
                result.m_cFileErrors++;
            if (fPlanted && result.m_csFailure.empty()) {
                if (csShown == csExpected)
                    result.m_cPlantedChecked++;
                else
                    result.m_csFailure = StrFormat("file %lu: expected ", iFile) + csExpected + ", reported " + csShown;
            }
        }
        if (result.m_csFailure.empty() && !fAccepted && !fReported)
            result.m_csFailure = StrFormat("file %lu: the supervisor ended without saying why", iFile);
        if (result.m_csFailure.empty() && fAccepted && fReported)
            result.m_csFailure = StrFormat("file %lu: accepted although an error was reported", iFile);
        if (result.m_csFailure.empty() && fPlanted && !fReported)
            result.m_csFailure = StrFormat("file %lu: the planted error was not reported", iFile);
        if (result.m_csFailure.empty() && fValid && !fAccepted)
            result.m_csFailure = StrFormat("file %lu: a valid file was refused", iFile);
        if (!result.m_csFailure.empty()) {
            const std::string csKept = GetTestDirectory() + "deffuzz-failed.inf";
            WriteTextFile(csKept, csFile);
            result.m_csFailure += "; the file is kept as " + csKept;
        }
    }
    RemoveDirectoryTree(csListenerDir);
    result.m_fPassed = result.m_csFailure.empty();
    return result;
}
