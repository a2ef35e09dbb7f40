// Prints how long the package takes to decide a logon, per path, with logging off and
// on, beside the cost of one registry read on this machine, and SHA-256 throughput.
// A measuring program, not a test: it asserts nothing.
#include "Sha256.h"
#include "VirtualSCard.h"

#include <windows.h>
#include <subauth.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace
{
    using SubAuthEntry = NTSTATUS(NTAPI*)(NETLOGON_LOGON_INFO_CLASS, PVOID, ULONG, PUSER_ALL_INFORMATION, PULONG,
                                          PULONG, PBOOLEAN, PLARGE_INTEGER, PLARGE_INTEGER);
    using Clock = std::chrono::steady_clock;

    const wchar_t AUTH[] = L"SOFTWARE\\Halvane\\FIDO2\\auth";
    const wchar_t SETTINGS[] = L"SOFTWARE\\Halvane\\FIDO2\\auth\\settings";

    void SetDword(const std::wstring& path, const wchar_t* name, DWORD value)
    {
        RegSetKeyValueW(HKEY_LOCAL_MACHINE, path.c_str(), name, REG_DWORD, &value, sizeof(value));
    }

    void SetAnsi(const std::wstring& path, const char* name, const std::string& text)
    {
        HKEY hKey = nullptr;
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &hKey, nullptr);
        RegSetValueExA(hKey, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()), static_cast<DWORD>(text.size() + 1));
        RegCloseKey(hKey);
    }

    void CreateKey(const std::wstring& path)
    {
        HKEY hKey = nullptr;
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &hKey, nullptr);
        RegCloseKey(hKey);
    }

    void Configure()
    {
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Halvane");
        CreateKey(SETTINGS);
        SetDword(SETTINGS, L"enabled", 1);
        const std::wstring users = std::wstring(AUTH) + L"\\users\\";
        SetDword(users + L"bob", L"enabled", 0);
        CreateKey(users + L"bob");
        SetDword(users + L"bob", L"enabled", 0);
        CreateKey(users + L"carol");
        SetDword(users + L"carol", L"enabled", 1);
        SetAnsi(users + L"carol", "sec", "A1B2C3D4E5F60718293A4B5C6D7E8F90");
        SetAnsi(users + L"carol", "Recovery", "4C66E363557147242581FFBEBF20742A133BCF69E25086C25456924A9D9BA520");
        CreateKey(users + L"alice");
        SetDword(users + L"alice", L"enabled", 1);
        SetAnsi(std::wstring(AUTH) + L"\\tokens\\1234ABCD", "user", "alice");
        VScardReset();
        VScardAddReader(L"Halvane Velkor FIDO2 Security Key 0", TRUE);
    }

    struct Figures
    {
        double median;
        double p99;
    };

    Figures Summarise(std::vector<double>& samples)
    {
        std::sort(samples.begin(), samples.end());
        return { samples[samples.size() / 2], samples[std::min(samples.size() - 1, samples.size() * 99 / 100)] };
    }

    Figures TimeLogons(SubAuthEntry pfnFilter, const wchar_t* user, int rounds, NTSTATUS* pStatus)
    {
        std::wstring name = user;
        USER_ALL_INFORMATION userAll = {};
        userAll.UserName.Buffer = name.data();
        userAll.UserName.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
        std::vector<double> samples;
        for (int i = 0; i < rounds; ++i)
        {
            ULONG whichFields = 0, userFlags = 0;
            BOOLEAN authoritative = FALSE;
            LARGE_INTEGER logoff = {}, kickoff = {};
            const auto start = Clock::now();
            *pStatus = pfnFilter(NetlogonInteractiveInformation, nullptr, 0, &userAll, &whichFields, &userFlags,
                                 &authoritative, &logoff, &kickoff);
            samples.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
        }
        return Summarise(samples);
    }

    Figures TimeRegistryRead(int rounds)
    {
        std::vector<double> samples;
        for (int i = 0; i < rounds; ++i)
        {
            const auto start = Clock::now();
            HKEY hKey = nullptr;
            DWORD value = 0, size = sizeof(value);
            if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, SETTINGS, 0, KEY_READ, &hKey) == ERROR_SUCCESS)
            {
                RegQueryValueExA(hKey, "enabled", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size);
                RegCloseKey(hKey);
            }
            samples.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
        }
        return Summarise(samples);
    }

    double Sha256Throughput()
    {
        std::vector<uint8_t> data(16 * 1024 * 1024, 0x5A);
        uint8_t digest[32];
        const auto start = Clock::now();
        constexpr int PASSES = 4;
        for (int i = 0; i < PASSES; ++i) Sha256(data.data(), static_cast<uint32_t>(data.size()), digest, sizeof(digest));
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        return PASSES * static_cast<double>(data.size()) / seconds / 1e6;
    }
}

int wmain(int argc, wchar_t** argv)
{
    const int rounds = argc > 1 ? _wtoi(argv[1]) : 300;
    HMODULE hModule = LoadLibraryW(L"VelkorSubAuth.dll");
    if (hModule == nullptr)
    {
        fprintf(stderr, "VelkorSubAuth.dll not found\n");
        return 1;
    }
    auto pfnFilter = reinterpret_cast<SubAuthEntry>(reinterpret_cast<void*>(GetProcAddress(hModule, "Msv1_0SubAuthenticationFilter")));
    Configure();

    const struct { const char* path; const wchar_t* user; } paths[] = {
        { "gate (user switch off)", L"bob" },
        { "recovery code", L"carol" },
        { "token (virtual token)", L"alice" },
    };
    printf("%d logons per figure; microseconds\n", rounds);
    printf("%-24s %-8s %10s %10s  %s\n", "path", "logging", "median", "p99", "result");
    for (int logging = 0; logging <= 1; ++logging)
    {
        SetDword(SETTINGS, L"loggingEnabled", static_cast<DWORD>(logging));
        for (const auto& p : paths)
        {
            NTSTATUS status = 0;
            const Figures figures = TimeLogons(pfnFilter, p.user, rounds, &status);
            printf("%-24s %-8s %10.1f %10.1f  0x%08lX\n", p.path, logging ? "on" : "off", figures.median, figures.p99,
                   static_cast<unsigned long>(status));
        }
        DeleteFileW(L"C:\\Velkor.txt");
    }
    const Figures registry = TimeRegistryRead(rounds * 4);
    printf("%-24s %-8s %10.1f %10.1f\n", "registry open+query+close", "", registry.median, registry.p99);
    printf("SHA-256: %.1f MB/s\n", Sha256Throughput());
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Halvane");
    FreeLibrary(hModule);
    return 0;
}
