// The common, status and system commands of the parser.
#include "host/CTorvexHost.h"
#include "host/CTorvexHostParser.h"

namespace Torvex {

bool CTorvexHostParser::RunCommonCommand(ScpiParsedCommand& command, CTorvexHost& client) {
  (void)command;
  (void)client;
  return false;
}

}  // namespace Torvex
