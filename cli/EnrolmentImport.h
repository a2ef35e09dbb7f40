#pragma once
// Writing an imported enrolment document into the configuration: every token key and
// account switch of it, or none. Each token key gets its credential values first and its
// `user` last, so no key ever exists that passes a logon on its serial alone while its
// credential is still to come. A write that fails undoes everything written before it,
// keys that were replaced included.
#include <windows.h>

#include <string>
#include <vector>

struct ImportRecord
{
    std::wstring id;   // the token key's name
    std::wstring user; // the account as this computer stores it
    std::vector<BYTE> credentialId; // empty for a token known by its serial alone
    std::vector<BYTE> publicKey;
    std::wstring name; // empty: no name value
    bool replace;      // the key exists and is replaced (its old values are kept for the undo)
};

// What a token key holds now, compared with a record.
enum class ExistingToken
{
    Absent,
    Same,           // the same account and credential: nothing to write
    OtherAccount,   // its `user` names another account (or cannot be read)
    OtherCredential // the same account, another or no credential
};

ExistingToken CompareExistingToken(const ImportRecord& record);

// Writes every record, then switches each account of enableUsers on. Returns 0, or the
// failing status with *pFailure naming the step; then everything written was undone.
LONG WriteImportRecords(const std::vector<ImportRecord>& records, const std::vector<std::wstring>& enableUsers,
                        std::wstring* pFailure);
