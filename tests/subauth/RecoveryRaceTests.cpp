// The race for a typed recovery code. Someone who knows alice's password and runs code on
// the machine loops password-only interactive logons of her account (LogonUserW makes LSA
// call the package for each); meanwhile alice's tile stores her code and her own logon
// follows 5 ms later, round after round. The figure is how many of the loop's logons got
// in. Set VELKOR_RACE_PACKAGE to the path of another build of the package to measure that
// one instead.
#include "ConfigStore.h"
#include "LogonHarness.h"
#include "TestRegistry.h"
#include "VirtualSCard.h"

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

namespace
{
    const wchar_t CODE[] = L"A1B2C3D4E5F60718293A4B5C6D7E8F90";
    const char VERIFIER[] = "4C66E363557147242581FFBEBF20742A133BCF69E25086C25456924A9D9BA520";
    constexpr int ROUNDS = 20;
    using Clock = std::chrono::steady_clock;

    NTSTATUS LogOnAlice(SubAuthEntry pfnRoutine)
    {
        wchar_t name[] = L"alice";
        return CallLogonRaw(pfnRoutine, name, 5).status;
    }

    // What the tile does: store the code, let the logon follow, remove the code at the result.
    NTSTATUS OwnersRecoveryLogon(SubAuthEntry pfnRoutine)
    {
        EXPECT_TRUE(WriteSecValue(L"alice", CODE));
        Sleep(5);
        const NTSTATUS status = LogOnAlice(pfnRoutine);
        DeleteSecValue(L"alice");
        return status;
    }
}

TEST(RecoveryRace, PasswordLoopBesideRecoveryLogons)
{
    wchar_t packagePath[MAX_PATH] = L"VelkorSubAuth.dll";
    GetEnvironmentVariableW(L"VELKOR_RACE_PACKAGE", packagePath, MAX_PATH);
    const HMODULE hPackage = LoadLibraryW(packagePath);
    ASSERT_NE(nullptr, hPackage) << GetLastError();
    const auto pfnRoutine = reinterpret_cast<SubAuthEntry>(
        reinterpret_cast<void*>(GetProcAddress(hPackage, "Msv1_0SubAuthenticationRoutine")));
    ASSERT_NE(nullptr, pfnRoutine);

    testreg::Reset();
    testreg::EnableUser(L"alice");
    testreg::SetDword(testreg::Settings(), L"eventLogEnabled", 0);
    testreg::SetAnsi(testreg::User(L"alice"), "Recovery", std::string(VERIFIER) + '\0');
    VScardReset(); // alice's token is not here

    // Without the loop her code lets her in.
    ASSERT_EQ(0, OwnersRecoveryLogon(pfnRoutine));

    std::atomic<bool> stop{ false };
    std::atomic<int> loopLogons{ 0 };
    std::atomic<int> loopWins{ 0 };
    long long longestGapMs = 0;
    std::thread loop([&] {
        auto previous = Clock::now();
        while (!stop.load())
        {
            const auto start = Clock::now();
            if (loopLogons.load() > 0)
            {
                const long long gapMs = std::chrono::duration_cast<std::chrono::milliseconds>(start - previous).count();
                if (gapMs > longestGapMs) longestGapMs = gapMs;
            }
            previous = start;
            if (LogOnAlice(pfnRoutine) == 0) loopWins.fetch_add(1);
            loopLogons.fetch_add(1);
        }
    });
    while (loopLogons.load() == 0) Sleep(1);
    int ownerIn = 0;
    for (int round = 0; round < ROUNDS; ++round)
    {
        ownerIn += OwnersRecoveryLogon(pfnRoutine) == 0 ? 1 : 0;
        Sleep(20);
    }
    stop = true;
    loop.join();
    FreeLibrary(hPackage);
    testreg::DeleteTree();

    std::printf("Recovery race, %ls: %d rounds beside %d password-only logons (longest gap %lld ms): "
                "the loop got in %d times, the owner %d times\n",
                packagePath, ROUNDS, loopLogons.load(), longestGapMs, loopWins.load(), ownerIn);
    EXPECT_GT(loopLogons.load(), ROUNDS) << "the loop hardly ran";
    // The loop could only win after a pause of 3 s between two of its logons.
    if (longestGapMs < 3000)
    {
        EXPECT_EQ(0, loopWins.load());
    }
}
