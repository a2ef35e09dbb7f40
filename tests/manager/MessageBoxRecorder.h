#pragma once
// Stands in for MessageBoxW in this test program (where the Login Manager's code is
// linked in): records every box and answers it from a script instead of waiting.
#include <windows.h>

#include <deque>
#include <string>
#include <vector>

struct ShownBox
{
    std::wstring text;
    std::wstring caption;
    UINT type;
};

class CImportPatch;

class CMessageBoxRecorder
{
public:
    CMessageBoxRecorder();
    ~CMessageBoxRecorder();
    CMessageBoxRecorder(const CMessageBoxRecorder&) = delete;
    CMessageBoxRecorder& operator=(const CMessageBoxRecorder&) = delete;

    bool IsActive() const;
    // Answers for the question boxes, in order; an OK box is always answered IDOK. A
    // question without a scripted answer fails the test and is answered IDNO.
    void AnswerQuestions(std::vector<int> answers);
    const std::vector<ShownBox>& Boxes() const { return _boxes; }
    std::vector<std::wstring> Texts() const;
    void Clear() { _boxes.clear(); }

private:
    static int WINAPI Replacement(HWND hwnd, LPCWSTR pszText, LPCWSTR pszCaption, UINT uType);

    CImportPatch* _pPatch;
    std::vector<ShownBox> _boxes;
    std::deque<int> _answers;
};

// The three kinds the Login Manager shows.
constexpr UINT TYPE_ERROR = MB_OK | MB_ICONERROR;
constexpr UINT TYPE_INFORMATION = MB_OK | MB_ICONINFORMATION;
constexpr UINT TYPE_QUESTION = MB_YESNO | MB_ICONQUESTION;
