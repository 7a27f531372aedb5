// The measurement and trigger commands of the parser.
#include "host/CTorvexHost.h"
#include "host/CTorvexHostParser.h"

namespace Torvex {

bool CTorvexHostParser::RunMeasurementCommand(ScpiParsedCommand& command, CTorvexHost& client) {
  (void)command;
  (void)client;
  return false;
}

}  // namespace Torvex
