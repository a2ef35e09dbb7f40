// Prints how long the package takes to decide a logon, per path, with logging off and
// on; what each logon costs in registry reads, log file opens and card commands, and how
// much of its time those take; the measured cost of one of each on this machine, and the
// floor they add up to; and SHA-256 throughput.
// A measuring program, not a test: it asserts nothing.
#include "ConfigStore.h"
#include "TokenCredentialStore.h"
#include "ImportPatch.h"
#include "Sha256.h"
#include "SmartCardContext.h"
#include "SmartCardCtap.h"
#include "CtapHidDevice.h"
#include "TokenProof.h"
#include "VirtualSCard.h"

#include <windows.h>
#include <subauth.h>
#include <winscard.h>
#include <bcrypt.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

namespace
{
    using SubAuthEntry = NTSTATUS(NTAPI*)(NETLOGON_LOGON_INFO_CLASS, PVOID, ULONG, PUSER_ALL_INFORMATION, PULONG,
                                          PULONG, PBOOLEAN, PLARGE_INTEGER, PLARGE_INTEGER);
    using Clock = std::chrono::steady_clock;

    const wchar_t AUTH[] = L"SOFTWARE\\Halvane\\FIDO2\\auth";
    const wchar_t SETTINGS[] = L"SOFTWARE\\Halvane\\FIDO2\\auth\\settings";
    const wchar_t TOKEN_READER[] = L"Halvane Velkor FIDO2 Security Key 0";
    const wchar_t SCRATCH_FILE[] = L"C:\\VelkorBenchmark.tmp";

    double MicrosSince(Clock::time_point start)
    {
        return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
    }

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

    // The one token reader, holding the token with this serial. The reader stays: a real
    // key keeps its signature counters, so the virtual one must too.
    // A Velkor key in its reader and a FIDO key over USB beside it, of another serial. With
    // serial 0 the reader is not listed (the PC/SC listing fails as without readers), so
    // only the key over USB is there; neither key is ever replaced, so their counters go on.
    constexpr DWORD USB_KEY_SERIAL = 0x00F1D0F1;

    void PlugToken(DWORD serial)
    {
        if (VScardReaderCount() == 0)
        {
            VScardReset();
            VScardAddReader(TOKEN_READER, TRUE);
            const int key = VScardHidAddDevice(L"Velkor FIDO2 Key", VSCARD_HID_USAGE_PAGE_FIDO, VSCARD_HID_USAGE_FIDO);
            VScardHidSetSerial(key, USB_KEY_SERIAL);
        }
        if (serial == 0)
        {
            VScardFailCall(VSCARD_FN_LIST_READERS_W, SCARD_E_NO_READERS_AVAILABLE, 1, TRUE);
            return;
        }
        VScardFailCall(VSCARD_FN_LIST_READERS_W, SCARD_E_NO_READERS_AVAILABLE, 0, FALSE);
        VScardSetSerial(0, serial);
    }

    // frank's key over USB, known by the credential made on it, as association stores it.
    void AssociateUsbKey()
    {
        PlugToken(0);
        wchar_t szPath[512] = {};
        VScardHidDevicePath(0, szPath, ARRAYSIZE(szPath));
        CCtapHidDevice device(szPath, GetTickCount64() + 5000);
        NEW_TOKEN_CREDENTIAL made = {};
        if (device.Open() == CtapExchangeStatus::Ok) MakeTokenCredential(device, L"frank", &made);
        if (made.outcome != TokenCredentialOutcome::Made)
        {
            fprintf(stderr, "note: the virtual USB key made no credential\n");
            return;
        }
        TOKEN_CREDENTIAL credential;
        StoredCredentialOf(made, &credential);
        wchar_t szName[TOKEN_KEY_NAME_CHARS] = {};
        MakeFidoTokenKeyName(credential.rgbCredentialId, credential.cbCredentialId, szName);
        const TOKEN_REGISTRATION_VALUES values = { &credential, L"Velkor FIDO2 Key" };
        RegisterToken(szName, L"frank", WriteTokenRegistrationValues, const_cast<TOKEN_REGISTRATION_VALUES*>(&values));
    }

    void Configure()
    {
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Halvane");
        CreateKey(SETTINGS);
        SetDword(SETTINGS, L"enabled", 1);
        const std::wstring users = std::wstring(AUTH) + L"\\users\\";
        CreateKey(users + L"bob");
        SetDword(users + L"bob", L"enabled", 0);
        CreateKey(users + L"carol");
        SetDword(users + L"carol", L"enabled", 1);
        SetAnsi(users + L"carol", "sec", "A1B2C3D4E5F60718293A4B5C6D7E8F90");
        SetAnsi(users + L"carol", "Recovery", "4C66E363557147242581FFBEBF20742A133BCF69E25086C25456924A9D9BA520");
        CreateKey(users + L"alice");
        SetDword(users + L"alice", L"enabled", 1);
        SetAnsi(std::wstring(AUTH) + L"\\tokens\\1234ABCD", "user", "alice");
        // erin's key proves possession: it holds a credential made here, as association makes it.
        CreateKey(users + L"erin");
        SetDword(users + L"erin", L"enabled", 1);
        SetAnsi(std::wstring(AUTH) + L"\\tokens\\0000BEEF", "user", "erin");
        PlugToken(0x0000BEEF);
        CSmartCardContext context;
        if (context.EstablishContext() == SCARD_S_SUCCESS)
        {
            CSmartCardReader reader(context.context, TOKEN_READER);
            reader.traceResults = reader.traceData = false;
            NEW_TOKEN_CREDENTIAL made;
            if (reader.Connect(SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1) == SCARD_S_SUCCESS)
            {
                CSmartCardCtap exchange(reader, GetTickCount64() + 5000);
                made.outcome = TokenCredentialOutcome::Failed;
                if (exchange.Open() == CtapExchangeStatus::Ok) MakeTokenCredential(exchange, L"erin", &made);
                if (made.outcome == TokenCredentialOutcome::Made)
                    WriteTokenCredential(L"0000BEEF", made.rgbCredentialId, made.cbCredentialId, made.rgbPublicKey, made.signCount);
                else
                    fprintf(stderr, "note: the virtual token made no credential\n");
            }
        }
        context.Release();
        CreateKey(users + L"frank");
        SetDword(users + L"frank", L"enabled", 1);
        AssociateUsbKey();
    }


    struct Figures
    {
        double median;
        double p99;
    };

    // Nothing measured (a path that sends no card command, say) reads as 0.
    Figures Summarise(std::vector<double>& samples)
    {
        if (samples.empty()) return { 0, 0 };
        std::sort(samples.begin(), samples.end());
        return { samples[samples.size() / 2], samples[std::min(samples.size() - 1, samples.size() * 99 / 100)] };
    }

    // carol types her recovery code for every logon: it serves one logon.
    void TypeCodeIfCarol(const wchar_t* user)
    {
        if (wcscmp(user, L"carol") == 0)
            SetAnsi(std::wstring(AUTH) + L"\\users\\carol", "sec", "A1B2C3D4E5F60718293A4B5C6D7E8F90");
    }

    NTSTATUS Logon(SubAuthEntry pfnFilter, const wchar_t* user)
    {
        std::wstring name = user;
        USER_ALL_INFORMATION userAll = {};
        userAll.UserName.Buffer = name.data();
        userAll.UserName.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
        ULONG whichFields = 0, userFlags = 0;
        BOOLEAN authoritative = FALSE;
        LARGE_INTEGER logoff = {}, kickoff = {};
        return pfnFilter(NetlogonInteractiveInformation, nullptr, 0, &userAll, &whichFields, &userFlags,
                         &authoritative, &logoff, &kickoff);
    }

    // ---- What a logon spends its time on: the package's own imports, counted and timed.

    enum Category
    {
        REGISTRY,
        LOG_FILE,
        CARD,
        COM,
        SAFE_MODE,
        DEBUG_OUTPUT,
        CRYPTO, // CNG: hashing, the signature check, random bytes
        EVENTS, // the event log
        THREAD, // the proof's thread: made, and waited for
        CATEGORY_COUNT
    };

    double g_microsByCategory[CATEGORY_COUNT];
    unsigned long long g_registryOpens = 0;
    unsigned long long g_registryQueries = 0;
    unsigned long long g_logSwitchQueries = 0;
    unsigned long long g_fileOpens = 0;
    unsigned long long g_debugLines = 0;

    // Tag tells apart hooks of functions with the same signature (each keeps its own original).
    template <Category C, auto* Counter, int Tag, typename F>
    struct Hook;

    // Calls the original and books its time to category C (and one call to *Counter, if any).
    template <Category C, auto* Counter, int Tag, typename R, typename... A>
    struct Hook<C, Counter, Tag, R (*)(A...)>
    {
        static inline void* original = nullptr;

        static R WINAPI Call(A... args)
        {
            using Fn = R (*)(A...);
            const auto start = Clock::now();
            if constexpr (std::is_void_v<R>)
            {
                reinterpret_cast<Fn>(original)(args...);
                Book(start);
            }
            else
            {
                R result = reinterpret_cast<Fn>(original)(args...);
                Book(start);
                return result;
            }
        }

        static void Book(Clock::time_point start)
        {
            g_microsByCategory[C] += MicrosSince(start);
            if constexpr (Counter != nullptr) ++*Counter;
        }
    };

    constexpr unsigned long long* NO_COUNTER = nullptr;

    struct HookSlot
    {
        const char* dll;
        const char* function;
        void* replacement;
        void** original;
    };

    template <Category C, auto* Counter, int Tag, typename F>
    HookSlot Slot(const char* dll, const char* function, F)
    {
        using H = Hook<C, Counter, Tag, F>;
        return { dll, function, reinterpret_cast<void*>(&H::Call), &H::original };
    }

    // The log switch is read like every other flag; its reads are told apart by name.
    void* g_pfnQueryValueA = nullptr;

    LSTATUS WINAPI CountedQueryValueA(HKEY hKey, LPCSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD cb)
    {
        const auto start = Clock::now();
        const LSTATUS status = reinterpret_cast<decltype(&RegQueryValueExA)>(g_pfnQueryValueA)(hKey, name, reserved, type, data, cb);
        g_microsByCategory[REGISTRY] += MicrosSince(start);
        ++g_registryQueries;
        if (name != nullptr && strcmp(name, "loggingEnabled") == 0) ++g_logSwitchQueries;
        return status;
    }

    class CPackageImports
    {
    public:
        explicit CPackageImports(HMODULE hPackage)
        {
            const HookSlot slots[] = {
                Slot<REGISTRY, &g_registryOpens, __LINE__>("ADVAPI32.dll", "RegOpenKeyExW", &RegOpenKeyExW),
                Slot<REGISTRY, NO_COUNTER, __LINE__>("ADVAPI32.dll", "RegCloseKey", &RegCloseKey),
                { "ADVAPI32.dll", "RegQueryValueExA", reinterpret_cast<void*>(&CountedQueryValueA), &g_pfnQueryValueA },
                Slot<LOG_FILE, &g_fileOpens, __LINE__>("KERNEL32.dll", "CreateFileW", &CreateFileW),
                Slot<LOG_FILE, NO_COUNTER, __LINE__>("KERNEL32.dll", "SetFilePointer", &SetFilePointer),
                Slot<LOG_FILE, NO_COUNTER, __LINE__>("KERNEL32.dll", "WriteFile", &WriteFile),
                Slot<LOG_FILE, NO_COUNTER, __LINE__>("KERNEL32.dll", "CloseHandle", &CloseHandle),
                Slot<DEBUG_OUTPUT, &g_debugLines, __LINE__>("KERNEL32.dll", "OutputDebugStringW", &OutputDebugStringW),
                Slot<SAFE_MODE, NO_COUNTER, __LINE__>("USER32.dll", "GetSystemMetrics", &GetSystemMetrics),
                Slot<COM, NO_COUNTER, __LINE__>("ole32.dll", "CoInitializeEx", &CoInitializeEx),
                Slot<COM, NO_COUNTER, __LINE__>("ole32.dll", "CoUninitialize", &CoUninitialize),
                Slot<CARD, NO_COUNTER, __LINE__>("WinSCard.dll", "SCardEstablishContext", &SCardEstablishContext),
                Slot<CARD, NO_COUNTER, __LINE__>("WinSCard.dll", "SCardListReadersW", &SCardListReadersW),
                Slot<CARD, NO_COUNTER, __LINE__>("WinSCard.dll", "SCardFreeMemory", &SCardFreeMemory),
                Slot<CARD, NO_COUNTER, __LINE__>("WinSCard.dll", "SCardConnectW", &SCardConnectW),
                Slot<CARD, NO_COUNTER, __LINE__>("WinSCard.dll", "SCardReconnect", &SCardReconnect),
                Slot<CARD, NO_COUNTER, __LINE__>("WinSCard.dll", "SCardTransmit", &SCardTransmit),
                Slot<CARD, NO_COUNTER, __LINE__>("WinSCard.dll", "SCardControl", &SCardControl),
                Slot<CARD, NO_COUNTER, __LINE__>("WinSCard.dll", "SCardDisconnect", &SCardDisconnect),
                Slot<CARD, NO_COUNTER, __LINE__>("WinSCard.dll", "SCardReleaseContext", &SCardReleaseContext),
                Slot<CARD, NO_COUNTER, __LINE__>("WinSCard.dll", "SCardBeginTransaction", &SCardBeginTransaction),
                Slot<CARD, NO_COUNTER, __LINE__>("WinSCard.dll", "SCardEndTransaction", &SCardEndTransaction),
                Slot<CRYPTO, NO_COUNTER, __LINE__>("bcrypt.dll", "BCryptOpenAlgorithmProvider", &BCryptOpenAlgorithmProvider),
                Slot<CRYPTO, NO_COUNTER, __LINE__>("bcrypt.dll", "BCryptCloseAlgorithmProvider", &BCryptCloseAlgorithmProvider),
                Slot<CRYPTO, NO_COUNTER, __LINE__>("bcrypt.dll", "BCryptCreateHash", &BCryptCreateHash),
                Slot<CRYPTO, NO_COUNTER, __LINE__>("bcrypt.dll", "BCryptHashData", &BCryptHashData),
                Slot<CRYPTO, NO_COUNTER, __LINE__>("bcrypt.dll", "BCryptFinishHash", &BCryptFinishHash),
                Slot<CRYPTO, NO_COUNTER, __LINE__>("bcrypt.dll", "BCryptDestroyHash", &BCryptDestroyHash),
                Slot<CRYPTO, NO_COUNTER, __LINE__>("bcrypt.dll", "BCryptImportKeyPair", &BCryptImportKeyPair),
                Slot<CRYPTO, NO_COUNTER, __LINE__>("bcrypt.dll", "BCryptVerifySignature", &BCryptVerifySignature),
                Slot<CRYPTO, NO_COUNTER, __LINE__>("bcrypt.dll", "BCryptDestroyKey", &BCryptDestroyKey),
                Slot<CRYPTO, NO_COUNTER, __LINE__>("bcrypt.dll", "BCryptGenRandom", &BCryptGenRandom),
                Slot<EVENTS, NO_COUNTER, __LINE__>("ADVAPI32.dll", "RegisterEventSourceW", &RegisterEventSourceW),
                Slot<EVENTS, NO_COUNTER, __LINE__>("ADVAPI32.dll", "ReportEventW", &ReportEventW),
                Slot<EVENTS, NO_COUNTER, __LINE__>("ADVAPI32.dll", "DeregisterEventSource", &DeregisterEventSource),
                Slot<THREAD, NO_COUNTER, __LINE__>("KERNEL32.dll", "CreateThread", &CreateThread),
                Slot<THREAD, NO_COUNTER, __LINE__>("KERNEL32.dll", "CreateEventW", &CreateEventW),
            };
            for (const HookSlot& slot : slots)
            {
                auto patch = std::make_unique<CImportPatch>(slot.dll, slot.function, slot.replacement, hPackage);
                if (!patch->IsActive())
                {
                    // Once for each call the package does not import (an older package, say).
                    static std::vector<std::string> s_reported;
                    const std::string name = std::string(slot.dll) + "!" + slot.function;
                    if (std::find(s_reported.begin(), s_reported.end(), name) == s_reported.end())
                    {
                        s_reported.push_back(name);
                        fprintf(stderr, "note: the package does not import %s\n", name.c_str());
                    }
                    continue;
                }
                *slot.original = patch->Original();
                _patches.push_back(std::move(patch));
            }
        }

    private:
        std::vector<std::unique_ptr<CImportPatch>> _patches;
    };

    void ResetCounters()
    {
        for (double& micros : g_microsByCategory) micros = 0;
        g_registryOpens = g_registryQueries = g_logSwitchQueries = g_fileOpens = g_debugLines = 0;
    }

    double Median(std::vector<double> samples)
    {
        if (samples.empty()) return 0;
        std::sort(samples.begin(), samples.end());
        return samples[samples.size() / 2];
    }

    // Everything measured for one path. Counts are totals over the counted logons (they
    // are the same for every logon of a path); times are samples, summarised by medians so
    // a logon delayed by another process does not skew them.
    struct PathRecord
    {
        std::vector<double> latency;
        int counted = 0;
        unsigned long long registryOpens = 0, registryQueries = 0, logSwitchQueries = 0;
        unsigned long long fileOpens = 0, cardCommands = 0, debugLines = 0;
        // Counted logons must decide as the timed ones did.
        NTSTATUS expected = 0;
        int unexpected = 0;
        NTSTATUS lastUnexpected = 0;
        std::vector<double> byCategory[CATEGORY_COUNT];
        std::vector<double> rest;
        std::vector<double> total;
        // One of each, measured in between this path's logons.
        std::vector<double> registryRead, logLine, cardCommand, comPair, debugLine;

        double PerLogon(unsigned long long count) const { return static_cast<double>(count) / counted; }
    };

    void TimeLogons(SubAuthEntry pfnFilter, const wchar_t* user, int rounds, PathRecord& record, NTSTATUS* pStatus)
    {
        for (int i = 0; i < rounds; ++i)
        {
            TypeCodeIfCarol(user);
            const auto start = Clock::now();
            *pStatus = Logon(pfnFilter, user);
            record.latency.push_back(MicrosSince(start));
        }
    }

    void CountLogons(HMODULE hPackage, SubAuthEntry pfnFilter, const wchar_t* user, int rounds, PathRecord& record)
    {
        CPackageImports imports(hPackage);
        ResetCounters();
        VScardClearRecord();
        for (int i = 0; i < rounds; ++i)
        {
            TypeCodeIfCarol(user);
            double before[CATEGORY_COUNT];
            for (int c = 0; c < CATEGORY_COUNT; ++c) before[c] = g_microsByCategory[c];
            const auto start = Clock::now();
            const NTSTATUS status = Logon(pfnFilter, user);
            const double micros = MicrosSince(start);
            if (status != record.expected)
            {
                ++record.unexpected;
                record.lastUnexpected = status;
            }
            double inCalls = 0;
            for (int c = 0; c < CATEGORY_COUNT; ++c)
            {
                record.byCategory[c].push_back(g_microsByCategory[c] - before[c]);
                inCalls += record.byCategory[c].back();
            }
            record.rest.push_back(micros - inCalls);
            record.total.push_back(micros);
        }
        record.counted += rounds;
        record.registryOpens += g_registryOpens;
        record.registryQueries += g_registryQueries;
        record.logSwitchQueries += g_logSwitchQueries;
        record.fileOpens += g_fileOpens;
        record.cardCommands += VScardCountTransmits(nullptr, 0);
        record.debugLines += g_debugLines;
    }

    // ---- The cost of one of each, measured here and now.

    double TimeRegistryRead()
    {
        const auto start = Clock::now();
        HKEY hKey = nullptr;
        DWORD value = 0, size = sizeof(value);
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, SETTINGS, 0, KEY_READ, &hKey) == ERROR_SUCCESS)
        {
            RegQueryValueExA(hKey, "enabled", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size);
            RegCloseKey(hKey);
        }
        return MicrosSince(start);
    }

    // What the package does for every log line once it knows logging is on.
    double TimeLogLine()
    {
        const wchar_t line[] = L"FIDO2 auth enabled for user\r\n";
        const auto start = Clock::now();
        HANDLE hFile = CreateFileW(SCRATCH_FILE, GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                                   FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
        if (hFile != INVALID_HANDLE_VALUE)
        {
            SetFilePointer(hFile, 0, nullptr, FILE_END);
            DWORD written = 0;
            WriteFile(hFile, line, sizeof(line) - sizeof(wchar_t), &written, nullptr);
            CloseHandle(hFile);
        }
        return MicrosSince(start);
    }

    void TimeCardCommands(int rounds, std::vector<double>& samples)
    {
        const BYTE getCplc[] = { 0x80, 0xCA, 0x9F, 0x7F, 0x00 };
        SCARDCONTEXT hContext = 0;
        SCARDHANDLE hCard = 0;
        DWORD protocol = 0;
        if (SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &hContext) != SCARD_S_SUCCESS) return;
        if (SCardConnectW(hContext, TOKEN_READER, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &hCard,
                          &protocol) == SCARD_S_SUCCESS)
        {
            const SCARD_IO_REQUEST* pci = protocol == SCARD_PROTOCOL_T0 ? SCARD_PCI_T0 : SCARD_PCI_T1;
            for (int i = 0; i < rounds; ++i)
            {
                BYTE answer[260];
                DWORD cbAnswer = sizeof(answer);
                const auto start = Clock::now();
                SCardTransmit(hCard, pci, getCplc, sizeof(getCplc), nullptr, answer, &cbAnswer);
                samples.push_back(MicrosSince(start));
            }
            SCardDisconnect(hCard, SCARD_LEAVE_CARD);
        }
        SCardReleaseContext(hContext);
    }

    double TimeComPair()
    {
        const auto start = Clock::now();
        if (SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) CoUninitialize();
        return MicrosSince(start);
    }

    double TimeDebugLine()
    {
        const auto start = Clock::now();
        OutputDebugStringW(L"Msv1_0SubAuthenticationFilter");
        return MicrosSince(start);
    }

    void TimeOneOfEach(int rounds, PathRecord& record)
    {
        for (int i = 0; i < rounds; ++i)
        {
            record.registryRead.push_back(TimeRegistryRead());
            record.logLine.push_back(TimeLogLine());
            record.comPair.push_back(TimeComPair());
            record.debugLine.push_back(TimeDebugLine());
        }
        TimeCardCommands(rounds, record.cardCommand);
        DeleteFileW(SCRATCH_FILE);
    }

    // A new prefix's services keep the wine server busy for some seconds after it starts,
    // and every registry call waits for the server: wait until a registry read costs what
    // it costs once they are done (the median of a quarter second stops falling).
    double WaitForQuietServer(double* pMedian)
    {
        const auto start = Clock::now();
        double best = 1e9;
        int steady = 0;
        double median = 0;
        while (steady < 8 && std::chrono::duration<double>(Clock::now() - start).count() < 30)
        {
            std::vector<double> samples;
            const auto windowEnd = Clock::now() + std::chrono::milliseconds(250);
            while (Clock::now() < windowEnd) samples.push_back(TimeRegistryRead());
            median = Median(samples);
            if (median < best * 0.9) steady = 0;
            else ++steady;
            best = std::min(best, median);
        }
        *pMedian = median;
        return std::chrono::duration<double>(Clock::now() - start).count();
    }

    // Whole 16 KiB buffers hashed one after another for about two seconds, as
    // `openssl speed -seconds 2 -bytes 16384 sha256` does.
    double Sha256Throughput()
    {
        std::vector<uint8_t> data(16 * 1024, 0x5A);
        uint8_t digest[32];
        unsigned long long hashed = 0;
        const auto start = Clock::now();
        double seconds = 0;
        do
        {
            for (int i = 0; i < 64; ++i)
            {
                Sha256(data.data(), static_cast<uint32_t>(data.size()), digest, sizeof(digest));
                data[0] = digest[0]; // each hash depends on the one before
            }
            hashed += 64 * data.size();
            seconds = std::chrono::duration<double>(Clock::now() - start).count();
        } while (seconds < 2.0);
        return static_cast<double>(hashed) / seconds / 1e6;
    }

    Figures MedianAndP99(std::vector<double> samples)
    {
        return Summarise(samples);
    }

    // Logons on several threads at once with logging on: how many of their "User:" lines
    // the log keeps, and how long they took.
    struct ConcurrentRun
    {
        size_t linesKept;
        double seconds;
    };

    ConcurrentRun RunConcurrentLogons(SubAuthEntry pfnFilter, int threads, int logonsPerThread)
    {
        DeleteFileW(L"C:\\Velkor.txt");
        SetDword(SETTINGS, L"loggingEnabled", 1);
        SetDword(SETTINGS, L"enabled", 1);
        const auto start = Clock::now();
        std::vector<std::thread> workers;
        for (int t = 0; t < threads; ++t)
        {
            workers.emplace_back([=] {
                for (int i = 0; i < logonsPerThread; ++i) Logon(pfnFilter, L"alice");
            });
        }
        for (auto& worker : workers) worker.join();
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        SetDword(SETTINGS, L"loggingEnabled", 0);

        std::wstring text;
        HANDLE hFile = CreateFileW(L"C:\\Velkor.txt", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        if (hFile != INVALID_HANDLE_VALUE)
        {
            const DWORD cb = GetFileSize(hFile, nullptr);
            text.resize(cb / sizeof(wchar_t));
            DWORD read = 0;
            ReadFile(hFile, text.data(), cb, &read, nullptr);
            CloseHandle(hFile);
        }
        DeleteFileW(L"C:\\Velkor.txt");
        size_t lines = 0;
        const std::wstring userLine = L"User: alice\r\n";
        for (size_t at = text.find(userLine); at != std::wstring::npos; at = text.find(userLine, at + 1)) ++lines;
        return { lines, seconds };
    }
}

int wmain(int argc, wchar_t** argv)
{
    const int rounds = argc > 1 ? _wtoi(argv[1]) : 300;
    // Another build of the package (an earlier release, say) can be measured the same way.
    const wchar_t* pszPackage = argc > 2 ? argv[2] : L"VelkorSubAuth.dll";
    constexpr int BLOCKS = 10;
    if (rounds < BLOCKS)
    {
        fprintf(stderr, "usage: velkor_subauth_benchmark [logons per figure, at least %d] [package DLL]\n", BLOCKS);
        return 2;
    }
    HMODULE hModule = LoadLibraryW(pszPackage);
    if (hModule == nullptr)
    {
        fprintf(stderr, "%ls not found\n", pszPackage);
        return 1;
    }
    // The virtual USB keys, for the package and for the credential made here; before any
    // counting hook, which then chains to them.
    VScardInstallHid(hModule);
    VScardInstallHid(nullptr);
    auto pfnFilter = reinterpret_cast<SubAuthEntry>(reinterpret_cast<void*>(GetProcAddress(hModule, "Msv1_0SubAuthenticationFilter")));
    Configure();
    double settledRead = 0;
    const double waited = WaitForQuietServer(&settledRead);

    const struct { const char* path; const wchar_t* user; DWORD machineSwitch; DWORD serial; } paths[] = {
        { "gate (machine switch off)", L"alice", 0, 0x1234ABCD },
        { "gate (user switch off)", L"bob", 1, 0x1234ABCD },
        { "recovery code", L"carol", 1, 0x1234ABCD },
        { "token (serial only)", L"alice", 1, 0x1234ABCD },
        { "token with proof", L"erin", 1, 0x0000BEEF },
        { "USB key with proof", L"frank", 1, 0 },
    };
    constexpr int PATHS = static_cast<int>(ARRAYSIZE(paths));
    static PathRecord records[2][PATHS];
    NTSTATUS results[2][PATHS];

    // Timed logons, counted logons and one of each call alternate in blocks, so a slow
    // moment of the machine falls on all of them alike.
    const int perBlock = rounds / BLOCKS;
    for (int logging = 0; logging <= 1; ++logging)
    {
        SetDword(SETTINGS, L"loggingEnabled", static_cast<DWORD>(logging));
        for (int p = 0; p < PATHS; ++p)
        {
            PathRecord& record = records[logging][p];
            SetDword(SETTINGS, L"enabled", paths[p].machineSwitch);
            PlugToken(paths[p].serial);
            TypeCodeIfCarol(paths[p].user);
            Logon(pfnFilter, paths[p].user); // first-call costs stay out of the figures
            for (int block = 0; block < BLOCKS; ++block)
            {
                TimeLogons(pfnFilter, paths[p].user, perBlock, record, &results[logging][p]);
                record.expected = results[logging][p];
                CountLogons(hModule, pfnFilter, paths[p].user, perBlock, record);
                TimeOneOfEach(perBlock, record);
            }
        }
        DeleteFileW(L"C:\\Velkor.txt");
    }
    SetDword(SETTINGS, L"enabled", 1);

    printf("Waited %.1f s for the wine server to settle (then one registry read: %.1f us)\n\n", waited, settledRead);
    printf("Latency of Msv1_0SubAuthenticationFilter, %d logons per figure, microseconds\n", perBlock * BLOCKS);
    printf("  %-26s %-8s %9s %9s  %s\n", "path", "logging", "median", "p99", "result");
    for (int logging = 0; logging <= 1; ++logging)
    {
        for (int p = 0; p < PATHS; ++p)
        {
            const Figures figures = MedianAndP99(records[logging][p].latency);
            printf("  %-26s %-8s %9.0f %9.0f  0x%08lX\n", paths[p].path, logging ? "on" : "off", figures.median,
                   figures.p99, static_cast<unsigned long>(results[logging][p]));
        }
    }

    printf("\nPer logon, counted at the package's imports (another %d logons per path)\n", perBlock * BLOCKS);
    printf("  %-26s %-8s %9s %9s %9s %10s %9s %9s\n", "path", "logging", "reg opens", "(queries)", "(log sw.)",
           "file opens", "card cmds", "dbg lines");
    for (int logging = 0; logging <= 1; ++logging)
    {
        for (int p = 0; p < PATHS; ++p)
        {
            const PathRecord& r = records[logging][p];
            printf("  %-26s %-8s %9.1f %9.1f %9.1f %10.1f %9.1f %9.1f\n", paths[p].path, logging ? "on" : "off",
                   r.PerLogon(r.registryOpens), r.PerLogon(r.registryQueries), r.PerLogon(r.logSwitchQueries),
                   r.PerLogon(r.fileOpens), r.PerLogon(r.cardCommands), r.PerLogon(r.debugLines));
        }
    }

    for (int logging = 0; logging <= 1; ++logging)
    {
        for (int p = 0; p < PATHS; ++p)
        {
            const PathRecord& r = records[logging][p];
            if (r.unexpected != 0)
                printf("  NOTE: %d counted logons of \"%s\" (logging %s) decided otherwise, last 0x%08lX\n", r.unexpected,
                       paths[p].path, logging ? "on" : "off", static_cast<unsigned long>(r.lastUnexpected));
        }
    }

    printf("\nWhere the time goes: median microseconds per counted logon inside the package's calls\n");
    printf("  %-26s %-8s %8s %8s %8s %8s %8s %8s %8s %8s %8s %8s %8s\n", "path", "logging", "registry", "log file",
           "card", "COM init", "safemode", "dbg out", "CNG", "events", "thread", "rest", "total");
    for (int logging = 0; logging <= 1; ++logging)
    {
        for (int p = 0; p < PATHS; ++p)
        {
            const PathRecord& r = records[logging][p];
            printf("  %-26s %-8s %8.0f %8.0f %8.0f %8.0f %8.0f %8.0f %8.0f %8.0f %8.0f %8.0f %8.0f\n", paths[p].path,
                   logging ? "on" : "off", Median(r.byCategory[REGISTRY]), Median(r.byCategory[LOG_FILE]),
                   Median(r.byCategory[CARD]), Median(r.byCategory[COM]), Median(r.byCategory[SAFE_MODE]),
                   Median(r.byCategory[DEBUG_OUTPUT]), Median(r.byCategory[CRYPTO]), Median(r.byCategory[EVENTS]),
                   Median(r.byCategory[THREAD]), Median(r.rest), Median(r.total));
        }
    }

    std::vector<double> registryRead, logLine, cardCommand, comPair, debugLine;
    for (const auto& byLogging : records)
    {
        for (const PathRecord& r : byLogging)
        {
            registryRead.insert(registryRead.end(), r.registryRead.begin(), r.registryRead.end());
            logLine.insert(logLine.end(), r.logLine.begin(), r.logLine.end());
            cardCommand.insert(cardCommand.end(), r.cardCommand.begin(), r.cardCommand.end());
            comPair.insert(comPair.end(), r.comPair.begin(), r.comPair.end());
            debugLine.insert(debugLine.end(), r.debugLine.begin(), r.debugLine.end());
        }
    }
    printf("\nOne of each on this machine, between the logons above (%zu each), microseconds\n", registryRead.size());
    printf("  %-46s %9s %9s\n", "", "median", "p99");
    const struct { const char* what; std::vector<double>* samples; } units[] = {
        { "registry read (open + query + close)", &registryRead },
        { "log line (open, seek, write, close)", &logLine },
        { "card command (SCardTransmit, virtual token)", &cardCommand },
        { "CoInitializeEx + CoUninitialize", &comPair },
        { "debug line (OutputDebugStringW)", &debugLine },
    };
    for (const auto& unit : units)
    {
        const Figures figures = MedianAndP99(*unit.samples);
        printf("  %-46s %9.1f %9.1f\n", unit.what, figures.median, figures.p99);
    }

    printf("\nFloor: registry reads x one read + log lines x one line + card commands x one command\n");
    printf("       + COM pairs x one pair + debug lines x one line (each cost from the same path's blocks)\n");
    printf("  %-26s %-8s %9s %9s\n", "path", "logging", "floor", "median");
    for (int logging = 0; logging <= 1; ++logging)
    {
        for (int p = 0; p < PATHS; ++p)
        {
            const PathRecord& r = records[logging][p];
            const double comPairs = r.PerLogon(r.cardCommands) > 0 ? 1 : 0;
            const double floor = r.PerLogon(r.registryOpens) * Median(r.registryRead) +
                                 r.PerLogon(r.fileOpens) * Median(r.logLine) +
                                 r.PerLogon(r.cardCommands) * Median(r.cardCommand) + comPairs * Median(r.comPair) +
                                 r.PerLogon(r.debugLines) * Median(r.debugLine);
            printf("  %-26s %-8s %9.0f %9.0f\n", paths[p].path, logging ? "on" : "off", floor, Median(r.latency));
        }
    }

    constexpr int CONCURRENT_THREADS = 8;
    constexpr int CONCURRENT_LOGONS = 200;
    PlugToken(0x1234ABCD);
    const ConcurrentRun concurrent = RunConcurrentLogons(pfnFilter, CONCURRENT_THREADS, CONCURRENT_LOGONS);
    printf("\n%d threads x %d token logons at once, logging on: %zu of %d \"User:\" lines kept, %.2f s\n",
           CONCURRENT_THREADS, CONCURRENT_LOGONS, concurrent.linesKept, CONCURRENT_THREADS * CONCURRENT_LOGONS,
           concurrent.seconds);

    printf("\nSHA-256 (16 KiB buffers, 2 s): %.1f MB/s\n", Sha256Throughput());
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Halvane");
    FreeLibrary(hModule);
    return 0;
}
