#include "StatusWords.h"
#include "AssociationPin.h"
#include "TokenAssociation.h"

#include <strsafe.h>

namespace
{
    struct STATUS_WORDS
    {
        DWORD dwStatus;
        const wchar_t* pszWords;
    };

    // The token flows' results and the smart-card service's codes, as an administrator reads
    // them. System errors not listed here come from the system's message table.
    const STATUS_WORDS s_rgKnownStatus[] = {
        { TOKEN_FLOW_NO_SINGLE_TOKEN, L"No key is plugged in, or more than one" },
        { TOKEN_FLOW_CONNECT_FAILED, L"The key did not answer the connection" },
        { TOKEN_FLOW_UNUSABLE_INPUT, L"The key's serial number could not be read, or the account name cannot be stored" },
        { TOKEN_FLOW_REFUSED, L"Refused: the key is registered already, is not this account's key, or cannot prove possession while proof is required" },
        { TOKEN_FLOW_TIMED_OUT, L"The key was not touched in time" },
        { TOKEN_FLOW_BAD_ANSWER, L"The key's answer was unusable" },
        { TOKEN_FLOW_PIN_NOT_GIVEN, L"The key needs its PIN, and none was given" },
        { TOKEN_FLOW_PIN_UNUSABLE, L"The text given cannot be a security key's PIN" },
        { TOKEN_FLOW_PIN_NOT_SENT, L"The PIN could not be sent to the key" },
        { ERROR_SUCCESS, L"Success" },
        { ERROR_FILE_NOT_FOUND, L"The registry key or value does not exist" },
        { ERROR_PATH_NOT_FOUND, L"The path does not exist" },
        { ERROR_ACCESS_DENIED, L"Access is denied" },
        { ERROR_NOT_ENOUGH_MEMORY, L"Not enough memory" },
        { ERROR_OUTOFMEMORY, L"Not enough memory" },
        { ERROR_INVALID_PARAMETER, L"A parameter is not valid" },
        { ERROR_INSUFFICIENT_BUFFER, L"Too long to be stored" },
        { ERROR_ALREADY_EXISTS, L"It exists already" },
        { ERROR_BADDB, L"The registry is damaged" },
        { ERROR_BADKEY, L"The registry key is not valid" },
        { ERROR_CANTOPEN, L"The registry key cannot be opened" },
        { ERROR_CANTREAD, L"The registry key cannot be read" },
        { ERROR_CANTWRITE, L"The registry key cannot be written" },
        { ERROR_REGISTRY_CORRUPT, L"The registry is damaged" },
        { ERROR_KEY_DELETED, L"The registry key was deleted meanwhile" },
        { ERROR_NO_UNICODE_TRANSLATION, L"The name cannot be stored in the system code page" },
        { ERROR_NONE_MAPPED, L"No such account" },
        { ERROR_INTERNAL_ERROR, L"Internal error" },
        { ERROR_SERVICE_DOES_NOT_EXIST, L"The service does not exist" },
        { static_cast<DWORD>(SCARD_F_INTERNAL_ERROR), L"The smart card service failed internally" },
        { static_cast<DWORD>(SCARD_E_CANCELLED), L"The smart card request was cancelled" },
        { static_cast<DWORD>(SCARD_E_INVALID_HANDLE), L"The smart card handle is not valid" },
        { static_cast<DWORD>(SCARD_E_INVALID_PARAMETER), L"The smart card service was given a parameter that is not valid" },
        { static_cast<DWORD>(SCARD_E_NO_MEMORY), L"The smart card service is out of memory" },
        { static_cast<DWORD>(SCARD_E_INSUFFICIENT_BUFFER), L"The smart card answer did not fit" },
        { static_cast<DWORD>(SCARD_E_UNKNOWN_READER), L"The reader is not known (unplugged meanwhile?)" },
        { static_cast<DWORD>(SCARD_E_TIMEOUT), L"The smart card service did not answer in time" },
        { static_cast<DWORD>(SCARD_E_SHARING_VIOLATION), L"The key is in use by another program" },
        { static_cast<DWORD>(SCARD_E_NO_SMARTCARD), L"The reader holds no card" },
        { static_cast<DWORD>(SCARD_E_PROTO_MISMATCH), L"The key does not speak the protocol asked for" },
        { static_cast<DWORD>(SCARD_E_NOT_READY), L"The reader or key is not ready" },
        { static_cast<DWORD>(SCARD_E_SYSTEM_CANCELLED), L"The system cancelled the smart card request (logoff or shutdown)" },
        { static_cast<DWORD>(SCARD_E_READER_UNAVAILABLE), L"The reader is not available" },
        { static_cast<DWORD>(SCARD_E_NO_SERVICE), L"The smart card service is not running" },
        { static_cast<DWORD>(SCARD_E_SERVICE_STOPPED), L"The smart card service stopped" },
        { static_cast<DWORD>(SCARD_E_NO_READERS_AVAILABLE), L"No smart card reader is attached" },
        { static_cast<DWORD>(SCARD_W_UNRESPONSIVE_CARD), L"The key does not respond" },
        { static_cast<DWORD>(SCARD_W_UNPOWERED_CARD), L"The key has no power" },
        { static_cast<DWORD>(SCARD_W_RESET_CARD), L"The key was reset" },
        { static_cast<DWORD>(SCARD_W_REMOVED_CARD), L"The key was removed" },
    };

    // CTAP2 status bytes an authenticator answers a credential request with.
    const STATUS_WORDS s_rgCtapStatus[] = {
        { 0x01, L"The key does not know the command" },
        { 0x11, L"The key found the request's encoding unusable" },
        { 0x14, L"The key missed a part of the request" },
        { 0x19, L"The key holds a credential for this account already" },
        { 0x26, L"The key offers no ES256 credential" },
        { 0x27, L"The key refused the operation" },
        { 0x28, L"The key has no room for another credential" },
        { 0x2D, L"The request to the key was cancelled" },
        { 0x2E, L"The key holds no such credential" },
        { 0x2F, L"The key was not touched in time" },
        { 0x31, L"The PIN given to the key is wrong" },
        { 0x32, L"The key's PIN is blocked" },
        { 0x33, L"The key did not accept the proof of its PIN" },
        { 0x34, L"The key wants to be unplugged and plugged in again after wrong PINs" },
        { 0x35, L"The key has no PIN set, and one is needed" },
        { 0x36, L"The key asks for its PIN" },
        { 0x39, L"The key was not touched in time" },
    };

    const wchar_t* Find(const STATUS_WORDS* pTable, size_t cEntries, DWORD dwStatus)
    {
        for (size_t i = 0; i < cEntries; ++i)
        {
            if (pTable[i].dwStatus == dwStatus) return pTable[i].pszWords;
        }
        return nullptr;
    }

    // The system's text for a Win32 or HRESULT code, on one line and without its full stop.
    bool SystemWords(DWORD dwStatus, wchar_t (&szWords)[STATUS_WORDS_CHARS])
    {
        const DWORD cch = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, dwStatus,
                                         MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), szWords, STATUS_WORDS_CHARS,
                                         nullptr);
        if (cch == 0)
        {
            szWords[0] = L'\0';
            return false;
        }
        size_t end = cch;
        while (end > 0 && (szWords[end - 1] == L'\r' || szWords[end - 1] == L'\n' || szWords[end - 1] == L' ' ||
                           szWords[end - 1] == L'.'))
        {
            --end;
        }
        szWords[end] = L'\0';
        for (size_t i = 0; i < end; ++i)
        {
            if (szWords[i] == L'\r' || szWords[i] == L'\n') szWords[i] = L' ';
        }
        return end > 0;
    }
}

void FormatStatusWords(DWORD dwStatus, wchar_t (&szWords)[STATUS_WORDS_CHARS])
{
    szWords[0] = L'\0';
    const wchar_t* pszKnown = Find(s_rgKnownStatus, ARRAYSIZE(s_rgKnownStatus), dwStatus);
    if (pszKnown != nullptr)
    {
        StringCchCopyW(szWords, STATUS_WORDS_CHARS, pszKnown);
        return;
    }
    if ((dwStatus & 0xFFFFFF00) == TOKEN_FLOW_CTAP_STATUS)
    {
        const DWORD dwCtap = dwStatus & 0xFF;
        const wchar_t* pszCtap = Find(s_rgCtapStatus, ARRAYSIZE(s_rgCtapStatus), dwCtap);
        if (pszCtap != nullptr)
        {
            StringCchCopyW(szWords, STATUS_WORDS_CHARS, pszCtap);
        }
        else
        {
            StringCchPrintfW(szWords, STATUS_WORDS_CHARS, L"The key refused with CTAP2 status 0x%02X", static_cast<unsigned int>(dwCtap));
        }
        return;
    }
    if ((dwStatus & 0xFFFFFF00) == 0x80100000)
    {
        StringCchPrintfW(szWords, STATUS_WORDS_CHARS, L"The smart card service reported an error");
        return;
    }
    if (!SystemWords(dwStatus, szWords))
    {
        StringCchCopyW(szWords, STATUS_WORDS_CHARS, L"Unknown status");
    }
}
