#include <veltor/CSymbl.h>

#include <utility>

#include "logic/LogicUtil.h"

using veltor::logic::DupString;

CSymbl::CSymbl() : m_Name(nullptr), m_Value(nullptr), m_Locked(false), m_UseInRValue(true) {}

CSymbl::CSymbl(const char* name)
    : m_Name(DupString(name)), m_Value(nullptr), m_Locked(true), m_UseInRValue(true) {}

CSymbl::CSymbl(const CSymbl* source)
    : m_Name(nullptr), m_Value(nullptr), m_Locked(false), m_UseInRValue(false) {
    if (source != nullptr) {
        m_Name = DupString(source->m_Name);
        m_Value = DupString(source->m_Value != nullptr ? source->m_Value : "");
        m_Locked = source->m_Locked;
        m_UseInRValue = source->m_UseInRValue;
    }
}

CSymbl::CSymbl(const CSymbl& source) : CSymbl(&source) {}

CSymbl& CSymbl::operator=(const CSymbl& source) {
    if (this != &source) {
        CSymbl copy(&source);
        std::swap(m_Name, copy.m_Name);
        std::swap(m_Value, copy.m_Value);
        m_Locked = copy.m_Locked;
        m_UseInRValue = copy.m_UseInRValue;
    }
    return *this;
}

CSymbl::~CSymbl() {
    delete[] m_Name;
    delete[] m_Value;
}
