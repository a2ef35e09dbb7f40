#include "TokenAssociation.h"
#include "AdminEvents.h"
#include "ConfigDirectory.h"
#include "SmartCardContext.h"
#include "SmartCardReader.h"
#include "TokenIdentification.h"

#include <strsafe.h>

#include <memory>
#include <new>

namespace
{
    constexpr size_t READER_NAME_BUFFER_CHARS = 128;
    constexpr size_t SERIAL_BUFFER_CHARS = 64;

    void DebugOutputSink(void*, const wchar_t* pszText)
    {
        OutputDebugStringW(pszText);
    }

    // A trace line too long for the buffer is cut; StringCchPrintfW still terminates it.
    template <typename... Args>
    void TraceLine(wchar_t (&szTraceText)[MANAGER_TRACE_TEXT_CHARS], const wchar_t* pszFormat, Args... args)
    {
        StringCchPrintfW(szTraceText, MANAGER_TRACE_TEXT_CHARS, pszFormat, args...);
        OutputDebugStringW(szTraceText);
    }

    // A user name is stored and compared whole or not at all.
    DWORD RefuseUserName(IAdminPrompts& prompts, LONG conversionStatus)
    {
        prompts.Show(conversionStatus == ERROR_INSUFFICIENT_BUFFER
                           ? L"User name is too long for a token association"
                           : L"User name cannot be stored in the system code page",
                       ERROR_BOX);
        return TOKEN_FLOW_UNUSABLE_INPUT;
    }

    // The steps both flows start with: one token reader, a connection, the serial number.
    // The reader is destroyed (card left in place) before the context is released.
    DWORD ReadPluggedTokenSerial(IAdminPrompts& prompts, wchar_t (&szTraceText)[MANAGER_TRACE_TEXT_CHARS],
                                 wchar_t (&szSerial)[SERIAL_BUFFER_CHARS])
    {
        std::unique_ptr<CSmartCardContext> pContext(new (std::nothrow) CSmartCardContext());
        if (!pContext)
        {
            return ERROR_NOT_ENOUGH_MEMORY;
        }
        wchar_t szReaderName[READER_NAME_BUFFER_CHARS] = {};
        const LONG establishStatus = pContext->EstablishContext();
        if (establishStatus != SCARD_S_SUCCESS)
        {
            return static_cast<DWORD>(establishStatus);
        }

        const wchar_t* pszTokenReader = nullptr;
        const int tokenCount = CountTokenReaders(*pContext, szTraceText, MANAGER_TRACE_TEXT_CHARS, DebugOutputSink,
                                                 nullptr, &pszTokenReader);
        if (tokenCount == 0)
        {
            prompts.Show(L"No token detected", ERROR_BOX);
            return TOKEN_FLOW_NO_SINGLE_TOKEN;
        }
        if (tokenCount > 1)
        {
            prompts.Show(L"More than one token detected", ERROR_BOX);
            return TOKEN_FLOW_NO_SINGLE_TOKEN;
        }
        // A name that does not fit is not cut: the empty name then fails to connect.
        if (pszTokenReader != nullptr && wcsnlen(pszTokenReader, READER_NAME_BUFFER_CHARS) < READER_NAME_BUFFER_CHARS)
        {
            StringCchCopyW(szReaderName, READER_NAME_BUFFER_CHARS, pszTokenReader);
        }

        std::unique_ptr<CSmartCardReader> pReader(new (std::nothrow) CSmartCardReader(pContext->context, szReaderName));
        if (!pReader)
        {
            return ERROR_NOT_ENOUGH_MEMORY;
        }
        const LONG connectStatus = pReader->Connect(SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1);
        if (connectStatus != SCARD_S_SUCCESS)
        {
            TraceLine(szTraceText, L"Connect failed: %X\r\n", static_cast<unsigned int>(connectStatus));
            return TOKEN_FLOW_CONNECT_FAILED;
        }
        // No key may ever be named after a serial that was not read.
        if (ReadTokenSerial(*pReader, szSerial, SERIAL_BUFFER_CHARS) != 0)
        {
            szSerial[0] = L'\0';
            prompts.Show(L"Could not read the token serial number", ERROR_BOX);
            return TOKEN_FLOW_UNUSABLE_INPUT;
        }
        TraceLine(szTraceText, L"Serial number: %ls\r\n", szSerial);
        return ERROR_SUCCESS;
    }
}

DWORD AssociateToken(IAdminPrompts& prompts, wchar_t (&szTraceText)[MANAGER_TRACE_TEXT_CHARS], const wchar_t* pszUserName)
{
    wchar_t szSerial[SERIAL_BUFFER_CHARS] = {};
    const DWORD readResult = ReadPluggedTokenSerial(prompts, szTraceText, szSerial);
    if (readResult != ERROR_SUCCESS)
    {
        return readResult;
    }

    const RegisterTokenResult registered = RegisterToken(szSerial, pszUserName);
    if (registered.alreadyRegistered)
    {
        OutputDebugStringW(L"Token already registered");
        prompts.Show(L"Token already registered", ERROR_BOX);
        return TOKEN_FLOW_REFUSED;
    }
    int registryStep = 0;
    switch (registered.failedStep)
    {
    case RegisterTokenStep::None:
        ReportTokenAssociated(szSerial, pszUserName);
        prompts.TokenRecorded(szSerial);
        return static_cast<DWORD>(registered.status);
    case RegisterTokenStep::ConvertUserName:
        return RefuseUserName(prompts, registered.status);
    case RegisterTokenStep::CreateTokenKey:
        registryStep = 307;
        break;
    case RegisterTokenStep::WriteUser:
        registryStep = 321;
        break;
    case RegisterTokenStep::CreateUserKey:
        registryStep = 333;
        break;
    }
    TraceLine(szTraceText, L"Error 0x%x updating registry %d\r\n", static_cast<unsigned int>(registered.status),
              registryStep);
    return static_cast<DWORD>(registered.status);
}

DWORD DissociateToken(IAdminPrompts& prompts, wchar_t (&szTraceText)[MANAGER_TRACE_TEXT_CHARS], const wchar_t* pszUserName)
{
    wchar_t szSerial[SERIAL_BUFFER_CHARS] = {};
    const DWORD readResult = ReadPluggedTokenSerial(prompts, szTraceText, szSerial);
    if (readResult != ERROR_SUCCESS)
    {
        return readResult;
    }
    return DissociateSerial(prompts, szTraceText, szSerial, pszUserName);
}

DWORD DissociateSerial(IAdminPrompts& prompts, wchar_t (&szTraceText)[MANAGER_TRACE_TEXT_CHARS], const wchar_t* pszSerial,
                       const wchar_t* pszUserName)
{
    // A failed read (no key, no value, a value too long) matches nobody.
    BYTE rgbStoredUser[TOKEN_USER_BUFFER_SIZE] = {};
    DWORD cbStoredUser = sizeof(rgbStoredUser);
    const LONG readStatus = ReadTokenUser(pszSerial, rgbStoredUser, &cbStoredUser);

    char szAnsiUser[TOKEN_USER_BUFFER_SIZE];
    int cchAnsiUser = 0;
    const LONG conversionStatus = UserNameToAnsi(pszUserName, szAnsiUser, &cchAnsiUser);
    if (conversionStatus != ERROR_SUCCESS)
    {
        return RefuseUserName(prompts, conversionStatus);
    }

    if (readStatus != ERROR_SUCCESS || !StoredTokenUserMatches(rgbStoredUser, cbStoredUser, szAnsiUser))
    {
        OutputDebugStringW(L"Token is not mapped to current user");
        prompts.Show(L"Token is not mapped to current user", ERROR_BOX);
        return TOKEN_FLOW_REFUSED;
    }

    const LONG deleteStatus = UnregisterToken(pszSerial);
    if (deleteStatus != ERROR_SUCCESS)
    {
        TraceLine(szTraceText, L"Error 0x%x updating registry\r\n", static_cast<unsigned int>(deleteStatus));
        return static_cast<DWORD>(deleteStatus);
    }
    ReportTokenDissociated(pszSerial, pszUserName);
    prompts.TokenRecorded(pszSerial);
    return ERROR_SUCCESS;
}
