#pragma once
// How the administration flows talk to the administrator. The Login Manager shows
// message boxes; the command-line tool prints lines and answers questions from its
// options. The flows decide what is said; the program decides how.
#include <windows.h>

constexpr UINT ERROR_BOX = MB_OK | MB_ICONERROR;
constexpr UINT INFORMATION_BOX = MB_OK | MB_ICONINFORMATION;
constexpr UINT QUESTION_BOX = MB_YESNO | MB_ICONQUESTION;
constexpr UINT WARNING_BOX = MB_OK | MB_ICONWARNING;

// Room for a PIN as typed: a key's PIN is at most 63 bytes of UTF-8, and a longer text must
// still be seen as too long rather than cut.
constexpr size_t PIN_INPUT_CHARS = 128;

class IAdminPrompts
{
public:
    // One message of the kind uType (ERROR_BOX, INFORMATION_BOX or QUESTION_BOX). Returns
    // the answer: IDYES or IDNO for a question, IDOK otherwise (0 when nothing could be shown).
    virtual int Show(const wchar_t* pszText, UINT uType) = 0;
    // A new recovery code, shown this once: the configuration keeps only its verifier.
    virtual void ShowRecoveryCode(const wchar_t* pszCode) = 0;
    // The account's factor was switched; a program that shows it reads it back now,
    // before the message that follows.
    virtual void UserSwitchChanged() {}
    // A text that stands while the token works ("Touch the key now"); null takes it away.
    virtual void ShowProgress(const wchar_t*) {}
    // Waits at most dwMilliseconds for the token's work to end (hDone); true when it did.
    // A program with windows keeps them painted meanwhile.
    virtual bool WaitForToken(HANDLE hDone, DWORD dwMilliseconds)
    {
        return WaitForSingleObject(hDone, dwMilliseconds) == WAIT_OBJECT_0;
    }
    // Asks for the security key's PIN with the question pszQuestion; szPin receives it,
    // terminated. False when none was given (cancelled, or nowhere to ask); the text then
    // says nothing. The caller wipes szPin; a program keeps no other copy of it.
    virtual bool AskPin(const wchar_t* /*pszQuestion*/, wchar_t (&/*szPin*/)[PIN_INPUT_CHARS]) { return false; }
    // The serial number of the token a flow has just associated or dissociated.
    virtual void TokenRecorded(const wchar_t* /*pszSerial*/) {}
    // The association is complete and the account switched on: "Token added to user".
    virtual void TokenAdded(const wchar_t* /*pszUserName*/) { Show(L"Token added to user", INFORMATION_BOX); }

protected:
    ~IAdminPrompts() = default;
};
