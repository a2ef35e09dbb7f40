#include "MessageBoxRecorder.h"
#include "ImportPatch.h"

#include <gtest/gtest.h>

namespace
{
    CMessageBoxRecorder* g_pRecorder = nullptr;
}

CMessageBoxRecorder::CMessageBoxRecorder()
    : _pPatch(new CImportPatch("user32.dll", "MessageBoxW", reinterpret_cast<void*>(&Replacement)))
{
    g_pRecorder = this;
}

CMessageBoxRecorder::~CMessageBoxRecorder()
{
    delete _pPatch;
    g_pRecorder = nullptr;
    EXPECT_TRUE(_answers.empty()) << _answers.size() << " scripted answers were not asked for";
}

bool CMessageBoxRecorder::IsActive() const
{
    return _pPatch->IsActive();
}

void CMessageBoxRecorder::AnswerQuestions(std::vector<int> answers)
{
    _answers.assign(answers.begin(), answers.end());
}

std::vector<std::wstring> CMessageBoxRecorder::Texts() const
{
    std::vector<std::wstring> texts;
    for (const ShownBox& box : _boxes) texts.push_back(box.text);
    return texts;
}

int WINAPI CMessageBoxRecorder::Replacement(HWND, LPCWSTR pszText, LPCWSTR pszCaption, UINT uType)
{
    CMessageBoxRecorder* pRecorder = g_pRecorder;
    if (pRecorder == nullptr) return IDCANCEL;
    pRecorder->_boxes.push_back({ pszText != nullptr ? pszText : L"(null)", pszCaption != nullptr ? pszCaption : L"(null)", uType });
    if ((uType & MB_TYPEMASK) != MB_YESNO) return IDOK;
    if (pRecorder->_answers.empty())
    {
        ADD_FAILURE() << "unexpected question: " << testing::PrintToString(std::wstring(pszText != nullptr ? pszText : L""));
        return IDNO;
    }
    const int answer = pRecorder->_answers.front();
    pRecorder->_answers.pop_front();
    return answer;
}
