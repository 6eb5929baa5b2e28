#include <veltor/CLogic.h>
#include <veltor/CLogicText.h>

#include "logic/LogicUtil.h"

CLogic::CLogic() : m_ErrorLine(0) {
    for (CSymbl*& symbol : m_Globals) {
        symbol = nullptr;
    }
    m_GlobalText[0] = '\0';
    m_LastError[0] = '\0';
    SetGlobalLogic("");
}

CLogic::~CLogic() {
    for (int i = 0; i < kSize && m_Globals[i] != nullptr; ++i) {
        delete m_Globals[i];
        m_Globals[i] = nullptr;
    }
}

bool CLogic::SetGlobalLogic(const char* text) {
    veltor::logic::CopyText(m_GlobalText, sizeof(m_GlobalText), text);
    // The global text starts from the predefined symbols alone, all locked,
    // so it can only define new names. The whole text goes to the parser,
    // which refuses one too long to keep.
    CLogicText parser(text, nullptr);
    parser.RequireWholeValues();
    if (!parser.Symbolize()) {
        veltor::logic::CopyText(m_LastError, sizeof(m_LastError), parser.GetLastError());
        m_ErrorLine = parser.GetErrorLine();
        return false;
    }
    parser.MakeGlobals(m_Globals);
    return true;
}
