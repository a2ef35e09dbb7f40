// Many logons at once through the package's exported filter, as MSV1_0 makes them when
// several people log on together: each gets the answer its own inputs demand, and no
// logon leaves a handle, a heap block or a PC/SC resource behind.
#include "ImportPatch.h"
#include "LogonHarness.h"
#include "ProcessMeters.h"
#include "TestLogFile.h"
#include "TestRegistry.h"
#include "VirtualSCard.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace
{
    const wchar_t TOKEN_READER[] = L"Halvane Velkor FIDO2 Security Key 0";
    const wchar_t SECOND_TOKEN_READER[] = L"Halvane Velkor FIDO2 Security Key 1";
    const wchar_t OTHER_READER[] = L"Generic USB Smart Card Reader 0";
    const wchar_t CODE[] = L"A1B2C3D4E5F60718293A4B5C6D7E8F90";
    const wchar_t WRONG_CODE[] = L"00000000000000000000000000000000";
    const char VERIFIER[] = "4C66E363557147242581FFBEBF20742A133BCF69E25086C25456924A9D9BA520";
    constexpr DWORD UNKNOWN_SERIAL = 0x0BADF00D;

    constexpr int THREADS = 8;
    constexpr int LOGONS_PER_THREAD = 16;
    constexpr int LOGONS_PER_PHASE = THREADS * LOGONS_PER_THREAD;

    // What the readers hold while a phase runs.
    enum class Card
    {
        AliceToken,   // one reader with alice's token
        NoReader,     // no reader at all
        TwoTokens,    // two token readers
        UnknownToken, // a token whose serial is associated with nobody
        EmptyReader,  // the token reader without a token, beside another reader
    };

    struct Phase
    {
        Card card;
        bool logging;
        bool machineOn;
    };

    // One cycle; every path of the package shows up in it, logging is on in two phases.
    const Phase CYCLE[] = {
        { Card::AliceToken, false, true },  { Card::NoReader, false, true },  { Card::AliceToken, true, true },
        { Card::TwoTokens, false, true },   { Card::UnknownToken, false, true }, { Card::EmptyReader, false, true },
        { Card::AliceToken, false, false }, { Card::NoReader, true, true },
    };
    constexpr int PHASES_PER_CYCLE = static_cast<int>(ARRAYSIZE(CYCLE));

    enum User
    {
        ALICE,     // factor on, owns the token 1234ABCD
        BOB,       // factor off
        CAROL,     // factor on, right recovery code typed (one such user a thread: a code serves one logon)
        DAVE,      // factor on, no code, owns no token
        ERIN,      // factor on, wrong recovery code typed (one a thread too)
        LONG_NAME, // a name longer than any key name: held on the heap, no key can exist
        USER_COUNT
    };

    const std::wstring& UserName(int user)
    {
        static const std::wstring names[USER_COUNT] = { L"alice", L"bob", L"carol", L"dave", L"erin",
                                                        std::wstring(400, L'x') };
        return names[user];
    }

    // The answer the inputs demand: the configuration of the user, the machine switch and
    // what the readers hold.
    LogonOutcome Expected(int user, const Phase& phase)
    {
        if (!phase.machineOn || user == BOB || user == LONG_NAME) return { 0, FALSE };
        if (user == CAROL) return { 0, FALSE };
        if (user == ERIN) return { RECOVERY_FAILED, TRUE };
        switch (phase.card)
        {
        case Card::AliceToken: return user == ALICE ? LogonOutcome{ 0, TRUE } : LogonOutcome{ WRONG_USER, FALSE };
        case Card::NoReader: return { NO_TOKEN, TRUE };
        case Card::TwoTokens: return { MULTIPLE_TOKENS, TRUE };
        case Card::UnknownToken: return { WRONG_USER, TRUE };
        case Card::EmptyReader: return { CONNECT_FAILED, TRUE };
        }
        return { -1, 2 };
    }

    void PrepareReaders(Card card)
    {
        VScardReset();
        switch (card)
        {
        case Card::AliceToken: VScardAddReader(TOKEN_READER, TRUE); break;
        case Card::NoReader: break;
        case Card::TwoTokens:
            VScardAddReader(TOKEN_READER, TRUE);
            VScardAddReader(SECOND_TOKEN_READER, TRUE);
            break;
        case Card::UnknownToken: VScardSetSerial(VScardAddReader(TOKEN_READER, TRUE), UNKNOWN_SERIAL); break;
        case Card::EmptyReader:
            VScardAddReader(OTHER_READER, TRUE);
            VScardAddReader(TOKEN_READER, FALSE);
            break;
        }
    }

    // The first wrong answer of a phase, kept without allocating.
    struct Mismatch
    {
        int user;
        NTSTATUS status;
        int authoritative;
        bool outputsTouched;
    };

    class SubAuthLoad : public CPackageTest
    {
    protected:


        void SetUp() override
        {
            ASSERT_NE(nullptr, s_pfnFilter);
            testreg::Reset();
            testlog::Delete();
            testreg::EnableUser(L"alice");
            testreg::AssociateToken(L"1234ABCD", L"alice");
            testreg::SetDword(testreg::User(L"bob"), L"enabled", 0);
            for (const wchar_t* user : { L"carol", L"dave", L"erin" })
            {
                testreg::SetDword(testreg::User(user), L"enabled", 1);
            }
            for (int t = 0; t < THREADS; ++t)
            {
                for (int user : { CAROL, ERIN })
                {
                    const std::wstring name = ThreadUserName(user, t);
                    testreg::SetDword(testreg::User(name), L"enabled", 1);
                    testreg::SetAnsi(testreg::User(name), "Recovery", std::string(VERIFIER) + '\0');
                }
            }
            _threads.reserve(THREADS);
        }

        void TearDown() override
        {
            VScardReset();
            testreg::DeleteTree();
            testlog::Delete();
        }

        // The users who type a code have one account a thread, so that each thread's code
        // serves its own logon.
        static std::wstring ThreadUserName(int user, int thread)
        {
            if (user != CAROL && user != ERIN) return UserName(user);
            return UserName(user) + std::to_wstring(thread);
        }

        // One MSV1_0 call with sentinels in every output the package must leave alone.
        static bool LogonAsExpected(const std::wstring& name, const LogonOutcome& expected, Mismatch* pMismatch)
        {
            const RawLogon logon = CallLogonRaw(s_pfnFilter, const_cast<wchar_t*>(name.data()), name.size());
            const NTSTATUS status = logon.status;
            const BOOLEAN authoritative = logon.authoritative;
            const bool outputsTouched = logon.OutputsTouched();
            if (status == expected.status && authoritative == expected.authoritative && !outputsTouched) return true;
            pMismatch->status = status;
            pMismatch->authoritative = authoritative;
            pMismatch->outputsTouched = outputsTouched;
            return false;
        }

        // All threads log on at once under one state of the readers and the registry; the
        // state changes only between phases, while nobody is logging on.
        void RunPhase(int phaseNumber)
        {
            const Phase& phase = CYCLE[phaseNumber % PHASES_PER_CYCLE];
            PrepareReaders(phase.card);
            testreg::SetDword(testreg::Settings(), L"loggingEnabled", phase.logging ? 1 : 0);
            testreg::SetDword(testreg::Settings(), L"enabled", phase.machineOn ? 1 : 0);

            std::atomic<int> wrong{ 0 };
            std::atomic<bool> recorded{ false };
            Mismatch first = {};
            std::atomic<int> ready{ 0 };
            _threads.clear();
            for (int t = 0; t < THREADS; ++t)
            {
                _threads.emplace_back([&, t] {
                    // Start together, so the logons really overlap.
                    ready.fetch_add(1);
                    while (ready.load() < THREADS) SwitchToThread();
                    for (int i = 0; i < LOGONS_PER_THREAD; ++i)
                    {
                        const int user = (t * 5 + i + phaseNumber) % USER_COUNT;
                        _logonsByUser[user].fetch_add(1);
                        Mismatch mismatch = { user, 0, 0, false };
                        const std::wstring name = ThreadUserName(user, t);
                        if (user == CAROL || user == ERIN)
                        {
                            testreg::SetString(testreg::User(name), L"sec", user == CAROL ? CODE : WRONG_CODE);
                        }
                        if (!LogonAsExpected(name, Expected(user, phase), &mismatch))
                        {
                            wrong.fetch_add(1);
                            if (!recorded.exchange(true)) first = mismatch;
                        }
                    }
                });
            }
            for (auto& thread : _threads) thread.join();
            _threads.clear();
            _logons += LOGONS_PER_PHASE;

            if (wrong.load() != 0)
            {
                const LogonOutcome expected = Expected(first.user, phase);
                const std::wstring& name = UserName(first.user);
                ADD_FAILURE() << wrong.load() << " wrong answers in phase " << phaseNumber << "; first: "
                              << (first.user == LONG_NAME ? std::string("the long name") : std::string(name.begin(), name.end()))
                              << " got " << LogonOutcome{ first.status, static_cast<BOOLEAN>(first.authoritative) }
                              << (first.outputsTouched ? " and touched an output it must leave alone" : "")
                              << ", expected " << expected;
            }
            EXPECT_EQ(0u, VScardOpenContexts()) << "phase " << phaseNumber << ": a PC/SC context was left open";
            EXPECT_EQ(0u, VScardOpenCards()) << "phase " << phaseNumber << ": a card connection was left open";
            EXPECT_EQ(0u, VScardOutstandingAllocations()) << "phase " << phaseNumber << ": a reader list was not freed";
            if (phase.logging)
            {
                // Logging really was on; the file goes so it does not grow through the run.
                EXPECT_TRUE(testlog::Exists()) << "phase " << phaseNumber;
                const std::wstring text = testlog::ReadText();
                for (size_t at = text.find(L"User: "); at != std::wstring::npos; at = text.find(L"User: ", at + 1))
                {
                    ++_loggedUserLines;
                }
                _loggedLogons += LOGONS_PER_PHASE;
                testlog::Delete();
            }
        }

        ProcessMeters Measure(const char* pszWhen)
        {
            ProcessMeters meters;
            EXPECT_TRUE(ReadProcessMeters(&meters));
            printf("[ meters   ] %-28s %6d logons: %5lu handles, %9llu heap bytes in %7llu blocks\n", pszWhen, _logons,
                   meters.handles, static_cast<unsigned long long>(meters.heapBusyBytes),
                   static_cast<unsigned long long>(meters.heapBusyBlocks));
            return meters;
        }

        std::vector<std::thread> _threads;
        int _logons = 0;
        int _loggedLogons = 0;
        int _loggedUserLines = 0;
        std::atomic<int> _logonsByUser[USER_COUNT] = {};
    };


    // Between the two later readings each of the six users logs on about 680 times: a key
    // or a 16-byte block lost by the logons of just one of them goes past these.
    constexpr long HANDLE_TOLERANCE = 2;
    constexpr long long HEAP_TOLERANCE_BYTES = 8 * 1024;

    long HandleGrowth(const ProcessMeters& before, const ProcessMeters& after)
    {
        return static_cast<long>(after.handles) - static_cast<long>(before.handles);
    }

    long long HeapGrowth(const ProcessMeters& before, const ProcessMeters& after)
    {
        return static_cast<long long>(after.heapBusyBytes) - static_cast<long long>(before.heapBusyBytes);
    }
}

TEST_F(SubAuthLoad, ThousandsOfConcurrentLogonsGetTheirAnswersAndLeaveNothingBehind)
{
    // Warm-up: every path once, so one-time allocations (COM, time zone, caches) are made.
    int phase = 0;
    for (; phase < PHASES_PER_CYCLE; ++phase) RunPhase(phase);
    const ProcessMeters start = Measure("after warm-up");
    for (; phase < 2 * PHASES_PER_CYCLE; ++phase) RunPhase(phase);
    const ProcessMeters early = Measure("after the first cycle");
    for (; phase < 6 * PHASES_PER_CYCLE; ++phase) RunPhase(phase);
    const ProcessMeters late = Measure("after six cycles");
    testlog::Delete();
    printf("[ log      ] %d logons with logging on left %d \"User:\" lines\n", _loggedLogons, _loggedUserLines);
    EXPECT_EQ(_loggedLogons, _loggedUserLines) << "concurrent logons lost log lines";

    EXPECT_LE(HandleGrowth(start, early), HANDLE_TOLERANCE);
    EXPECT_LE(HandleGrowth(early, late), HANDLE_TOLERANCE) << "handles grow with the number of logons";
    EXPECT_LE(HandleGrowth(start, late), HANDLE_TOLERANCE);
    EXPECT_LE(HeapGrowth(start, early), HEAP_TOLERANCE_BYTES);
    EXPECT_LE(HeapGrowth(early, late), HEAP_TOLERANCE_BYTES) << "heap use grows with the number of logons";
    EXPECT_LE(HeapGrowth(start, late), HEAP_TOLERANCE_BYTES);
}

namespace
{
    // Stand-ins the meters must notice: keys that are never closed and heap blocks that are
    // never freed (through either way the package may free), kept aside so the test can
    // release them afterwards.
    CImportPatch* g_pCloseKeyPatch = nullptr;
    CImportPatch* g_pFreePatch = nullptr;
    CImportPatch* g_pHeapFreePatch = nullptr;
    constexpr size_t KEPT_MAX = 64 * 1024;
    HKEY g_rghKeptKeys[KEPT_MAX];
    struct KeptBlock
    {
        HANDLE hHeap; // nullptr: from malloc
        void* pv;
    };
    KeptBlock g_rgKeptBlocks[KEPT_MAX];
    std::atomic<size_t> g_cKeptKeys{ 0 };
    std::atomic<size_t> g_cKeptBlocks{ 0 };

    LSTATUS WINAPI KeepKeyOpen(HKEY hKey)
    {
        const size_t i = g_cKeptKeys.fetch_add(1);
        if (i < KEPT_MAX)
        {
            g_rghKeptKeys[i] = hKey;
            return ERROR_SUCCESS;
        }
        return reinterpret_cast<decltype(&RegCloseKey)>(g_pCloseKeyPatch->Original())(hKey);
    }

    void __cdecl KeepBlock(void* pv)
    {
        if (pv == nullptr) return;
        const size_t i = g_cKeptBlocks.fetch_add(1);
        if (i < KEPT_MAX)
        {
            g_rgKeptBlocks[i] = { nullptr, pv };
            return;
        }
        reinterpret_cast<void(__cdecl*)(void*)>(g_pFreePatch->Original())(pv);
    }

    BOOL WINAPI KeepHeapBlock(HANDLE hHeap, DWORD flags, void* pv)
    {
        if (pv == nullptr) return TRUE;
        const size_t i = g_cKeptBlocks.fetch_add(1);
        if (i < KEPT_MAX)
        {
            g_rgKeptBlocks[i] = { hHeap, pv };
            return TRUE;
        }
        return reinterpret_cast<decltype(&HeapFree)>(g_pHeapFreePatch->Original())(hHeap, flags, pv);
    }
}

// The meters above must be able to fail: with the package's key closing and freeing
// turned off they see the leak, and once the kept keys and blocks are released again the
// process is back where it was.
TEST_F(SubAuthLoad, MetersSeeALeakOfKeysAndHeapBlocks)
{
    for (int phase = 0; phase < PHASES_PER_CYCLE; ++phase) RunPhase(phase);
    const ProcessMeters before = Measure("before the injected leak");
    {
        CImportPatch closeKey("ADVAPI32.dll", "RegCloseKey", reinterpret_cast<void*>(KeepKeyOpen), s_hModule);
        CImportPatch freeBlock("msvcrt.dll", "free", reinterpret_cast<void*>(KeepBlock), s_hModule);
        CImportPatch heapFree("KERNEL32.dll", "HeapFree", reinterpret_cast<void*>(KeepHeapBlock), s_hModule);
        ASSERT_TRUE(closeKey.IsActive());
        ASSERT_TRUE(freeBlock.IsActive() || heapFree.IsActive());
        g_pCloseKeyPatch = &closeKey;
        g_pFreePatch = &freeBlock;
        g_pHeapFreePatch = &heapFree;
        g_cKeptKeys = 0;
        g_cKeptBlocks = 0;
        _logonsByUser[LONG_NAME] = 0;
        for (int phase = 0; phase < 2; ++phase) RunPhase(phase);
    }
    const long long longNameLogons = _logonsByUser[LONG_NAME].load();
    const ProcessMeters leaking = Measure("with the injected leak");
    const size_t cKeys = g_cKeptKeys.load() < KEPT_MAX ? g_cKeptKeys.load() : KEPT_MAX;
    const size_t cBlocks = g_cKeptBlocks.load() < KEPT_MAX ? g_cKeptBlocks.load() : KEPT_MAX;
    printf("[ meters   ] kept %zu keys open and %zu blocks allocated\n", cKeys, cBlocks);
    // Every logon reads keys; a logon of the long name puts two blocks of over 800 bytes
    // on the heap (the name and a key path holding it).
    EXPECT_GE(cKeys, static_cast<size_t>(2 * LOGONS_PER_PHASE));
    EXPECT_GE(cBlocks, static_cast<size_t>(2 * longNameLogons));
    EXPECT_GE(HandleGrowth(before, leaking), static_cast<long>(cKeys) - HANDLE_TOLERANCE);
    EXPECT_GE(HeapGrowth(before, leaking), 2 * 800 * longNameLogons);

    for (size_t i = 0; i < cKeys; ++i) RegCloseKey(g_rghKeptKeys[i]);
    for (size_t i = 0; i < cBlocks; ++i)
    {
        const KeptBlock& block = g_rgKeptBlocks[i];
        if (block.hHeap != nullptr) HeapFree(block.hHeap, 0, block.pv);
        else free(block.pv);
    }
    const ProcessMeters after = Measure("after releasing them");
    EXPECT_LE(HandleGrowth(before, after), HANDLE_TOLERANCE);
    EXPECT_LE(HeapGrowth(before, after), HEAP_TOLERANCE_BYTES);
}
