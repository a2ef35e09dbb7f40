#include "EcdhStandIn.h"
#include "ImportPatch.h"

#include <bcrypt.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>

namespace
{
    constexpr size_t COORDINATE_BYTES = 32;
    constexpr DWORD HELPER_DEADLINE_MS = 10000;
    const wchar_t HELPER_NAME[] = L"velkor-ecdh-helper";

    struct AGREED_KEYS
    {
        BYTE rgbD[COORDINATE_BYTES];
        BYTE rgbPeerX[COORDINATE_BYTES];
        BYTE rgbPeerY[COORDINATE_BYTES];
    };

    using SecretAgreementFunction = NTSTATUS(WINAPI*)(BCRYPT_KEY_HANDLE, BCRYPT_KEY_HANDLE, BCRYPT_SECRET_HANDLE*, ULONG);
    using DeriveKeyFunction = NTSTATUS(WINAPI*)(BCRYPT_SECRET_HANDLE, LPCWSTR, BCryptBufferDesc*, PUCHAR, ULONG, ULONG*,
                                                ULONG);
    using DestroySecretFunction = NTSTATUS(WINAPI*)(BCRYPT_SECRET_HANDLE);

    SRWLOCK g_lock = SRWLOCK_INIT;
    std::map<BCRYPT_SECRET_HANDLE, AGREED_KEYS>* g_pSecrets = nullptr;
    LONG g_lDerivations = 0;
    LONG g_lFiles = 0;

    // The ones CNG itself exports, whatever module's slot was patched.
    SecretAgreementFunction OriginalAgreement()
    {
        return reinterpret_cast<SecretAgreementFunction>(
            reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"bcrypt.dll"), "BCryptSecretAgreement")));
    }
    DeriveKeyFunction OriginalDerive()
    {
        return reinterpret_cast<DeriveKeyFunction>(
            reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"bcrypt.dll"), "BCryptDeriveKey")));
    }
    DestroySecretFunction OriginalDestroy()
    {
        return reinterpret_cast<DestroySecretFunction>(
            reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"bcrypt.dll"), "BCryptDestroySecret")));
    }

    std::wstring ProgramFolder()
    {
        wchar_t szPath[MAX_PATH] = {};
        GetModuleFileNameW(nullptr, szPath, MAX_PATH);
        std::wstring folder = szPath;
        return folder.substr(0, folder.find_last_of(L'\\') + 1);
    }

    std::string Hex(const BYTE* pb, size_t cb)
    {
        std::string text;
        char sz[3];
        for (size_t i = 0; i < cb; ++i)
        {
            std::snprintf(sz, sizeof(sz), "%02x", pb[i]);
            text += sz;
        }
        return text;
    }

    // The Unix path Wine gives a Windows path (Wine's own kernel32 export).
    std::string UnixPath(const std::wstring& path)
    {
        using UnixNameFunction = char*(CDECL*)(LPCWSTR);
        const auto pfnUnixName = reinterpret_cast<UnixNameFunction>(
            reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
        if (pfnUnixName == nullptr) return "";
        char* pszUnix = pfnUnixName(path.c_str());
        if (pszUnix == nullptr) return "";
        std::string unix = pszUnix;
        HeapFree(GetProcessHeap(), 0, pszUnix);
        return unix;
    }

    // Z from the helper, big-endian; false when it could not be had in time.
    bool RunHelper(const AGREED_KEYS& keys, BYTE (&rgbZ)[COORDINATE_BYTES])
    {
        wchar_t szTemp[MAX_PATH] = {};
        GetTempPathW(MAX_PATH, szTemp);
        const std::wstring outPath = std::wstring(szTemp) + L"velkor-ecdh-" + std::to_wstring(GetCurrentProcessId()) +
                                     L"-" + std::to_wstring(InterlockedIncrement(&g_lFiles)) + L".txt";
        DeleteFileW(outPath.c_str());
        const std::string unixOut = UnixPath(outPath);
        if (unixOut.empty()) return false;
        const std::string arguments = Hex(keys.rgbD, COORDINATE_BYTES) + " " + Hex(keys.rgbPeerX, COORDINATE_BYTES) +
                                      " " + Hex(keys.rgbPeerY, COORDINATE_BYTES) + " \"" + unixOut + "\"";
        std::wstring commandLine = L"\"" + ProgramFolder() + HELPER_NAME + L"\" " + std::wstring(arguments.begin(), arguments.end());
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION process = {};
        // Wine starts a Unix program detached: no process handle comes back, so the answer
        // is awaited as the file it renames into place.
        if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
                            &startup, &process))
        {
            return false;
        }
        if (process.hProcess != nullptr) CloseHandle(process.hProcess);
        if (process.hThread != nullptr) CloseHandle(process.hThread);
        const ULONGLONG ullEnd = GetTickCount64() + HELPER_DEADLINE_MS;
        while (GetFileAttributesW(outPath.c_str()) == INVALID_FILE_ATTRIBUTES && GetTickCount64() < ullEnd) Sleep(1);
        char szLine[128] = {};
        DWORD cbRead = 0;
        HANDLE hFile = CreateFileW(outPath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, 0, nullptr);
        if (hFile == INVALID_HANDLE_VALUE) return false;
        ReadFile(hFile, szLine, sizeof(szLine) - 1, &cbRead, nullptr);
        CloseHandle(hFile);
        DeleteFileW(outPath.c_str());
        if (std::strncmp(szLine, "OK ", 3) != 0 || cbRead < 3 + 2 * COORDINATE_BYTES) return false;
        for (size_t i = 0; i < COORDINATE_BYTES; ++i)
        {
            unsigned int byte = 0;
            if (std::sscanf(szLine + 3 + 2 * i, "%2x", &byte) != 1) return false;
            rgbZ[i] = static_cast<BYTE>(byte);
        }
        SecureZeroMemory(szLine, sizeof(szLine));
        return true;
    }

    NTSTATUS WINAPI StandInAgreement(BCRYPT_KEY_HANDLE hPrivateKey, BCRYPT_KEY_HANDLE hPublicKey,
                                     BCRYPT_SECRET_HANDLE* phSecret, ULONG dwFlags)
    {
        const NTSTATUS status = OriginalAgreement()(hPrivateKey, hPublicKey, phSecret, dwFlags);
        if (!BCRYPT_SUCCESS(status)) return status;
        struct { BCRYPT_ECCKEY_BLOB header; BYTE rgbX[32]; BYTE rgbY[32]; BYTE rgbD[32]; } priv = {};
        struct { BCRYPT_ECCKEY_BLOB header; BYTE rgbX[32]; BYTE rgbY[32]; } pub = {};
        ULONG cb = 0;
        if (!BCRYPT_SUCCESS(BCryptExportKey(hPrivateKey, nullptr, BCRYPT_ECCPRIVATE_BLOB, reinterpret_cast<PUCHAR>(&priv),
                                            sizeof(priv), &cb, 0)) || cb != sizeof(priv) ||
            !BCRYPT_SUCCESS(BCryptExportKey(hPublicKey, nullptr, BCRYPT_ECCPUBLIC_BLOB, reinterpret_cast<PUCHAR>(&pub),
                                            sizeof(pub), &cb, 0)) || cb != sizeof(pub))
        {
            return status; // not a P-256 pair: CNG's own derivation answers
        }
        AGREED_KEYS keys;
        memcpy(keys.rgbD, priv.rgbD, COORDINATE_BYTES);
        memcpy(keys.rgbPeerX, pub.rgbX, COORDINATE_BYTES);
        memcpy(keys.rgbPeerY, pub.rgbY, COORDINATE_BYTES);
        SecureZeroMemory(&priv, sizeof(priv));
        AcquireSRWLockExclusive(&g_lock);
        if (g_pSecrets != nullptr) (*g_pSecrets)[*phSecret] = keys;
        ReleaseSRWLockExclusive(&g_lock);
        return status;
    }

    NTSTATUS WINAPI StandInDerive(BCRYPT_SECRET_HANDLE hSecret, LPCWSTR pszKdf, BCryptBufferDesc* pParameters,
                                  PUCHAR pbDerived, ULONG cbDerived, ULONG* pcbResult, ULONG dwFlags)
    {
        AGREED_KEYS keys;
        bool fKnown = false;
        AcquireSRWLockShared(&g_lock);
        if (g_pSecrets != nullptr)
        {
            const auto found = g_pSecrets->find(hSecret);
            if (found != g_pSecrets->end())
            {
                keys = found->second;
                fKnown = true;
            }
        }
        ReleaseSRWLockShared(&g_lock);
        if (!fKnown || pszKdf == nullptr || wcscmp(pszKdf, BCRYPT_KDF_RAW_SECRET) != 0)
        {
            return OriginalDerive()(hSecret, pszKdf, pParameters, pbDerived, cbDerived, pcbResult, dwFlags);
        }
        *pcbResult = COORDINATE_BYTES;
        if (pbDerived == nullptr) return 0;
        if (cbDerived < COORDINATE_BYTES) return static_cast<NTSTATUS>(0xC0000023); // STATUS_BUFFER_TOO_SMALL
        BYTE rgbZ[COORDINATE_BYTES];
        const bool fDone = RunHelper(keys, rgbZ);
        SecureZeroMemory(&keys, sizeof(keys));
        if (!fDone) return static_cast<NTSTATUS>(0xC00000E5); // as Wine answers
        for (size_t i = 0; i < COORDINATE_BYTES; ++i) pbDerived[i] = rgbZ[COORDINATE_BYTES - 1 - i];
        SecureZeroMemory(rgbZ, sizeof(rgbZ));
        InterlockedIncrement(&g_lDerivations);
        return 0;
    }

    NTSTATUS WINAPI StandInDestroy(BCRYPT_SECRET_HANDLE hSecret)
    {
        AcquireSRWLockExclusive(&g_lock);
        if (g_pSecrets != nullptr) g_pSecrets->erase(hSecret);
        ReleaseSRWLockExclusive(&g_lock);
        return OriginalDestroy()(hSecret);
    }

    // Whether CNG derives a raw ECDH secret by itself.
    bool CngDerives()
    {
        BCRYPT_ALG_HANDLE hAlgorithm = nullptr;
        if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&hAlgorithm, BCRYPT_ECDH_P256_ALGORITHM, nullptr, 0))) return false;
        BCRYPT_KEY_HANDLE hFirst = nullptr, hSecond = nullptr;
        BCRYPT_SECRET_HANDLE hSecret = nullptr;
        BYTE rgbRaw[COORDINATE_BYTES];
        ULONG cb = 0;
        const bool fDerives = BCRYPT_SUCCESS(BCryptGenerateKeyPair(hAlgorithm, &hFirst, 256, 0)) &&
                              BCRYPT_SUCCESS(BCryptFinalizeKeyPair(hFirst, 0)) &&
                              BCRYPT_SUCCESS(BCryptGenerateKeyPair(hAlgorithm, &hSecond, 256, 0)) &&
                              BCRYPT_SUCCESS(BCryptFinalizeKeyPair(hSecond, 0)) &&
                              BCRYPT_SUCCESS(OriginalAgreement()(hFirst, hSecond, &hSecret, 0)) &&
                              BCRYPT_SUCCESS(OriginalDerive()(hSecret, BCRYPT_KDF_RAW_SECRET, nullptr, rgbRaw,
                                                              sizeof(rgbRaw), &cb, 0));
        if (hSecret != nullptr) OriginalDestroy()(hSecret);
        if (hSecond != nullptr) BCryptDestroyKey(hSecond);
        if (hFirst != nullptr) BCryptDestroyKey(hFirst);
        BCryptCloseAlgorithmProvider(hAlgorithm, 0);
        return fDerives;
    }
}

CEcdhStandIn::CEcdhStandIn(std::initializer_list<const wchar_t*> otherModules)
{
    if (CngDerives())
    {
        _fReady = true;
        return;
    }
    if (GetFileAttributesW((ProgramFolder() + HELPER_NAME).c_str()) == INVALID_FILE_ATTRIBUTES) return;
    AcquireSRWLockExclusive(&g_lock);
    if (g_pSecrets == nullptr) g_pSecrets = new std::map<BCRYPT_SECRET_HANDLE, AGREED_KEYS>();
    ReleaseSRWLockExclusive(&g_lock);
    std::vector<HMODULE> modules = { nullptr };
    bool fModules = true;
    for (const wchar_t* pszModule : otherModules)
    {
        const HMODULE hModule = GetModuleHandleW(pszModule);
        fModules = fModules && hModule != nullptr;
        modules.push_back(hModule);
    }
    bool fPatched = fModules;
    for (HMODULE hModule : modules)
    {
        if (!fModules) break;
        const struct { const char* pszName; void* pfn; } functions[] = {
            { "BCryptSecretAgreement", reinterpret_cast<void*>(&StandInAgreement) },
            { "BCryptDeriveKey", reinterpret_cast<void*>(&StandInDerive) },
            { "BCryptDestroySecret", reinterpret_cast<void*>(&StandInDestroy) },
        };
        for (const auto& function : functions)
        {
            CImportPatch* pPatch = new CImportPatch("bcrypt.dll", function.pszName, function.pfn, hModule);
            fPatched = fPatched && pPatch->IsActive();
            _patches.push_back(pPatch);
        }
    }
    _fReady = fPatched;
}

CEcdhStandIn::~CEcdhStandIn()
{
    for (CImportPatch* pPatch : _patches) delete pPatch;
}

LONG CEcdhStandIn::Derivations()
{
    return InterlockedCompareExchange(&g_lDerivations, 0, 0);
}
