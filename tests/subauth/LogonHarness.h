#pragma once
// Plays MSV1_0 for one logon: builds USER_ALL_INFORMATION for a name, calls a
// sub-authentication entry point with sentinel values in every output, and checks
// that the outputs the package must not touch kept them.
#include <windows.h>
#include <subauth.h>

#include "PackageClock.h"

#include "TestLogFile.h"
#include "TestRegistry.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

using SubAuthEntry = NTSTATUS(NTAPI*)(NETLOGON_LOGON_INFO_CLASS, PVOID, ULONG, PUSER_ALL_INFORMATION, PULONG, PULONG,
                                      PBOOLEAN, PLARGE_INTEGER, PLARGE_INTEGER);

constexpr NTSTATUS NO_TOKEN = static_cast<NTSTATUS>(0xFFFF0011);
constexpr NTSTATUS MULTIPLE_TOKENS = static_cast<NTSTATUS>(0xFFFF0012);
constexpr NTSTATUS CONNECT_FAILED = static_cast<NTSTATUS>(0xFFFF0013);
constexpr NTSTATUS WRONG_USER = static_cast<NTSTATUS>(0xFFFF0015);
constexpr NTSTATUS RECOVERY_FAILED = static_cast<NTSTATUS>(0xFFFF0016);

struct LogonOutcome
{
    NTSTATUS status;
    BOOLEAN authoritative;

    bool operator==(const LogonOutcome& other) const
    {
        return status == other.status && authoritative == other.authoritative;
    }
};

inline std::ostream& operator<<(std::ostream& stream, const LogonOutcome& outcome)
{
    return stream << "{status 0x" << std::hex << static_cast<unsigned long>(outcome.status) << std::dec
                  << ", Authoritative " << static_cast<int>(outcome.authoritative) << "}";
}

// One call as MSV1_0 makes it, with sentinels in every output the package must leave
// alone. Asserts nothing, so it can run on any thread.
struct RawLogon
{
    NTSTATUS status;
    BOOLEAN authoritative;
    ULONG whichFields;
    ULONG userFlags;
    bool timesTouched; // LogoffTime or KickoffTime changed

    bool OutputsTouched() const { return whichFields != 0 || userFlags != 0 || timesTouched; }
};

inline RawLogon CallLogonRaw(SubAuthEntry pfnEntry, wchar_t* pszName, size_t cchName,
                             NETLOGON_LOGON_INFO_CLASS level = NetlogonInteractiveInformation)
{
    USER_ALL_INFORMATION userAll = {};
    userAll.UserName.Buffer = pszName;
    userAll.UserName.Length = static_cast<USHORT>(cchName * sizeof(wchar_t));
    userAll.UserName.MaximumLength = userAll.UserName.Length;

    ULONG whichFields = 0xDEADBEEF;
    ULONG userFlags = 0xDEADBEEF;
    BOOLEAN authoritative = 7;
    LARGE_INTEGER logoffTime;
    LARGE_INTEGER kickoffTime;
    logoffTime.QuadPart = 0x1122334455667788;
    kickoffTime.QuadPart = 0x0102030405060708;
    const NTSTATUS status = pfnEntry(level, nullptr, 0, &userAll, &whichFields, &userFlags, &authoritative, &logoffTime,
                                     &kickoffTime);
    const bool timesTouched = logoffTime.QuadPart != 0x1122334455667788 || kickoffTime.QuadPart != 0x0102030405060708;
    return { status, authoritative, whichFields, userFlags, timesTouched };
}

// The name is passed as counted characters, exactly as MSV1_0 does (no terminator).
inline LogonOutcome CallLogon(SubAuthEntry pfnEntry, const std::wstring& userName,
                              NETLOGON_LOGON_INFO_CLASS level = NetlogonInteractiveInformation)
{
    std::wstring storage = userName + L"\xFFFF"; // a non-terminated neighbour
    const RawLogon logon = CallLogonRaw(pfnEntry, storage.data(), userName.size(), level);
    EXPECT_EQ(0u, logon.whichFields);
    EXPECT_EQ(0u, logon.userFlags);
    EXPECT_TRUE(logon.authoritative == TRUE || logon.authoritative == FALSE) << static_cast<int>(logon.authoritative);
    EXPECT_FALSE(logon.timesTouched) << "LogoffTime or KickoffTime written";
    return { logon.status, logon.authoritative };
}

// A test suite that calls the package's DLL, loaded as LSA loads it.
class CPackageTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        s_hModule = LoadLibraryW(L"VelkorSubAuth.dll");
        ASSERT_NE(nullptr, s_hModule) << GetLastError();
        s_pfnFilter = reinterpret_cast<SubAuthEntry>(
            reinterpret_cast<void*>(GetProcAddress(s_hModule, "Msv1_0SubAuthenticationFilter")));
        s_pfnRoutine = reinterpret_cast<SubAuthEntry>(
            reinterpret_cast<void*>(GetProcAddress(s_hModule, "Msv1_0SubAuthenticationRoutine")));
        PackageClock::Attach(s_hModule);
    }

    static void TearDownTestSuite()
    {
        PackageClock::Detach();
        FreeLibrary(s_hModule);
    }

    // Each test starts with no refusal remembered and the package's system time true.
    static void ResetPackageClock()
    {
        PackageClock::ForgetRecentRefusals();
        PackageClock::ShiftSystemTime(0);
    }

    static inline HMODULE s_hModule = nullptr;
    static inline SubAuthEntry s_pfnFilter = nullptr;
    static inline SubAuthEntry s_pfnRoutine = nullptr;
};

// The signature counter stored with a token key (0 when it is not a DWORD).
inline DWORD StoredSignCount(const std::wstring& tokenKey)
{
    const std::string bytes = testreg::ReadAnsi(testreg::Token(tokenKey), "signCount");
    DWORD count = 0;
    if (bytes.size() == sizeof(count)) memcpy(&count, bytes.data(), sizeof(count));
    return count;
}

// The decision log after the line `after`, up to the closing "returnVal" line.
inline std::wstring LogLinesAfter(const std::wstring& after)
{
    const std::wstring log = testlog::ReadText();
    const size_t start = log.find(after);
    const size_t end = log.find(L"returnVal ");
    if (start == std::wstring::npos || end == std::wstring::npos) return L"<no token path>";
    return log.substr(start + after.size(), end - start - after.size());
}

// cThreads threads each log the user on cRounds times at once; per thread, how many of
// its logons did not pass.
inline std::vector<int> FailedConcurrentLogons(SubAuthEntry pfnEntry, const wchar_t* pszUser, int cThreads, int cRounds)
{
    std::vector<int> failed(static_cast<size_t>(cThreads), 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < cThreads; ++t)
    {
        threads.emplace_back([&, t] {
            for (int i = 0; i < cRounds; ++i)
                if (!(CallLogon(pfnEntry, pszUser) == LogonOutcome{ 0, TRUE })) ++failed[static_cast<size_t>(t)];
        });
    }
    for (auto& thread : threads) thread.join();
    return failed;
}
