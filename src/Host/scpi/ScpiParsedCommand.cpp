#include "scpi/ScpiParsedCommand.h"

namespace Torvex {

void ScpiParsedCommand::Reset() {
  commandNumber = 0;
  numericSuffix.reset();
  for (ScpiParameterValue& v : values) v = ScpiParameterValue{};
  errorCode = 0;
  replyLength = 0;
  indefiniteResponse = 0;
  abandon = 0;
}

}  // namespace Torvex
