// CCOFFParserException: a failure while reading the DSP program file. Thrown and caught inside
// CTMS320C67xxCoffParser::Parse; its message says what was wrong with the file.
#pragma once

#include <string>

#include "acquisition/CTorvexException.h"

namespace Torvex {

class CCOFFParserException : public CTorvexException {
 public:
  using CTorvexException::CTorvexException;
  ~CCOFFParserException() override = default;
};

}  // namespace Torvex
