// The parser thread and the program-message cycle (see CTorvexHostParser.h).
#include "host/CTorvexHostParser.h"

#include "acquisition/CIntermediateResults.h"
#include "acquisition/CTorvexHostAcquisition.h"
#include "core/CLogger.h"
#include "host/CTorvexHost.h"
#include "host/HostCommandHandlers.h"
#include "host/HostCommonCommands.h"
#include "scpi/scpi_command_table.h"
#include "scpi/scpi_types.h"
#include "scpi/scpi_value_extraction.h"
#include "status/ScpiErrorTable.h"
#include "tree/BoundParameterNodes.h"

namespace Torvex {

namespace {

const std::string kReplyTerminator = "\n";
const std::string kQuerySeparator = ";";

}  // namespace

CTorvexHostParser::CTorvexHostParser() : CThread(kHostParserThread) {
  if (scpi_count_command_patterns() == kScpiCommandCount) {
    m_Running.store(true);
    Start();
  }
}

CTorvexHostParser::~CTorvexHostParser() {
  if (!m_Running.load()) return;
  std::unique_lock<std::mutex> lock(m_QueueMutex);
  m_Stop = true;
  m_QueueChanged.notify_all();
  m_QueueChanged.wait(lock, [this] { return m_Exited; });
}

bool CTorvexHostParser::OnParserThread() const { return m_Running.load() && cyg_thread_self() == Handle(); }

void CTorvexHostParser::QueueMessage(const std::string& message, CTorvexHost* client) {
  std::lock_guard<std::mutex> lock(m_QueueMutex);
  m_Queue.push_back(QueuedMessage{message, client});
  m_QueueChanged.notify_all();
}

void CTorvexHostParser::RemoveClientMessages(CTorvexHost* client) {
  std::lock_guard<std::mutex> lock(m_QueueMutex);
  std::erase_if(m_Queue, [client](const QueuedMessage& entry) { return entry.client == client; });
}

bool CTorvexHostParser::ClearClient(CTorvexHost* client) {
  std::lock_guard<std::mutex> lock(m_QueueMutex);
  const std::size_t dropped =
      std::erase_if(m_Queue, [client](const QueuedMessage& entry) { return entry.client == client; });
  if (m_Executing == client) m_ExecutingCleared = true;
  return dropped != 0;
}

void CTorvexHostParser::ReleaseClient(CTorvexHost* client) {
  std::unique_lock<std::mutex> lock(m_QueueMutex);
  std::erase_if(m_Queue, [client](const QueuedMessage& entry) { return entry.client == client; });
  if (OnParserThread()) {
    // Deleted by its own command: the parser must not touch it again after this command.
    if (m_Executing == client) m_ForgetExecuting = true;
    return;
  }
  m_QueueChanged.wait(lock, [this, client] { return m_Executing != client; });
}

void CTorvexHostParser::DestroyClient(CTorvexHost* client, std::function<void()> destroy) {
  if (OnParserThread()) {
    bool executing = false;
    {
      std::lock_guard<std::mutex> lock(m_QueueMutex);
      executing = m_Executing == client;
    }
    if (executing) {
      m_AfterMessage.push_back(std::move(destroy));
      return;
    }
  } else {
    ReleaseClient(client);
  }
  destroy();
}

void CTorvexHostParser::RunAfterMessage(std::function<void()> work) {
  if (OnParserThread()) {
    bool executing = false;
    {
      std::lock_guard<std::mutex> lock(m_QueueMutex);
      executing = m_Executing != nullptr;
    }
    if (executing) {
      m_AfterMessage.push_back(std::move(work));
      return;
    }
  }
  work();
}

bool CTorvexHostParser::Idle() {
  std::lock_guard<std::mutex> lock(m_QueueMutex);
  return m_Queue.empty() && m_Executing == nullptr;
}

void CTorvexHostParser::ThreadMain() {
  std::unique_lock<std::mutex> lock(m_QueueMutex);
  for (;;) {
    m_QueueChanged.wait(lock, [this] { return m_Stop || !m_Queue.empty(); });
    if (m_Stop) break;
    QueuedMessage message = std::move(m_Queue.front());
    m_Queue.pop_front();
    m_Executing = message.client;
    m_ExecutingCleared = false;
    m_ForgetExecuting = false;
    lock.unlock();

    ExecuteMessage(message.text, *message.client);
    message.text.clear();
    message.text.shrink_to_fit();
    std::vector<std::function<void()>> destroys;
    destroys.swap(m_AfterMessage);

    lock.lock();
    m_Executing = nullptr;
    m_MessagesExecuted.fetch_add(1);
    m_QueueChanged.notify_all();
    if (!destroys.empty()) {
      lock.unlock();
      for (auto& destroy : destroys) destroy();
      lock.lock();
    }
  }
  m_Exited = true;
  m_QueueChanged.notify_all();
}

void CTorvexHostParser::ReportParseError(CScpiStatus& status, const ScpiParsedCommand& command) {
  std::uint32_t row = 0;
  switch (command.errorCode) {
    case kScpiOk:
    case kScpiEndOfMessage: return;
    case kScpiSuffixRepeated:
    case kScpiSuffixInvalid: row = kScpiErrorNumericSuffixInvalid; break;
    case kScpiListValue: row = kScpiErrorInvalidValueInList; break;
    case kScpiListDimensions:
    case kScpiTooManyDimensions: row = kScpiErrorInvalidNumberOfDimensionsInChannel; break;
    case kScpiOutOfRange: row = kScpiErrorExponentTooLarge; break;
    case kScpiWrongUnit: row = kScpiErrorWrongUnitsForParameter; break;
    case kScpiDataType: row = kScpiErrorDataTypeError; break;
    case kScpiParameterCount: row = kScpiErrorUnexpectedNumberOfParameters; break;
    case kScpiInvalidString: row = kScpiErrorInvalidStringData; break;
    case kScpiParentheses: row = kScpiErrorInvalidExpression; break;
    case kScpiSyntax: row = kScpiErrorSyntaxError; break;
    // The channel lists of one message expanding beyond the bound.
    case kScpiChannelListError: row = kScpiErrorErrorInChannelList; break;
    case kCommandNoProbe: row = kScpiErrorNoProbe; break;
    case kCommandQueryAfterIndefiniteResponse: row = kScpiErrorQueryUnterminatedAfterIndefiniteResponse; break;
    case kCommandDataNotAllAvailable: row = kScpiErrorDataNotAllAvailable; break;
    case kCommandLocked: row = kScpiErrorSettingsConflict; break;
    case kCommandOutOfRange: row = kScpiErrorDataOutOfRange; break;
    case kCommandOutOfMemory: row = kScpiErrorOutOfMemory225; break;
    default: row = kScpiErrorFirmwareError; break;
  }
  status.PushError(row, true);
}

void CTorvexHostParser::ExecuteMessage(const std::string& text, CTorvexHost& client) {
  CScpiStatus& status = client.Status();
  std::string& reply = client.ReplyText();
  std::vector<ScpiParsedCommand> commands;
  ScpiParsedCommand record(&reply);
  bool abandoned = false;

  if (scpi_parse_program_message(text, commands, record) != kScpiOk) {
    ReportParseError(status, record);
    commands.clear();
  }

  reply.clear();
  bool firstQuery = true;
  bool indefiniteWritten = false;
  for (ScpiParsedCommand& command : commands) {
    const bool query = scpi_is_query(command);
    if (query) {
      if (indefiniteWritten) {
        status.PushError(kScpiErrorQueryUnterminatedAfterIndefiniteResponse, true);
        break;
      }
      if (!firstQuery) reply += kQuerySeparator;
    }
    command.reply = &reply;
    command.replyLength = reply.size();
    _DispatchCommand(*this, command, client);
    bool forgotten = false;
    {
      std::lock_guard<std::mutex> lock(m_QueueMutex);
      forgotten = m_ForgetExecuting;
    }
    if (forgotten) {
      // The client was deleted by this command: nothing of it may be touched any more.
      EndOfMessage(nullptr, true);
      return;
    }
    if (command.errorCode != 0) ReportParseError(status, command);
    if (command.abandon != 0) {
      abandoned = true;
      break;
    }
    if (query) {
      firstQuery = false;
      if (command.indefiniteResponse != 0) indefiniteWritten = true;
    }
  }
  EndOfMessage(&client, abandoned);
}

void CTorvexHostParser::EndOfMessage(CTorvexHost* client, bool abandoned) {
  // Every message reads fresh intermediate data, and no result buffer stays held between messages.
  g_IntermediateResults.Invalidate();
  CTorvexHostAcquisition::ReleaseResults();
  g_IntermediateResults.Release();
  m_HallCache.valid = false;
  if (client == nullptr) {
    CScpiStatus::EndOfMessage();
    return;
  }

  bool cleared = false;
  {
    std::lock_guard<std::mutex> lock(m_QueueMutex);
    cleared = m_ExecutingCleared;
  }
  if (cleared) {
    // A device clear came during the message: its reply is dropped.
    client->ReplyText().clear();
    client->ClearResponsePending();
  } else if (client->ResponsePending() && !abandoned) {
    client->ReplyText() += kReplyTerminator;
    client->SendResponse();
    client->ClearResponsePending();
  }
  CScpiStatus::EndOfMessage();
  client->MessageProcessed();
}

void CTorvexHostParser::_DispatchCommand(CTorvexHostParser& parser, ScpiParsedCommand& command, CTorvexHost& client) {
  const std::size_t number = command.commandNumber;
  if (number >= kScpiCommandCount) {
    if (command.errorCode == 0) command.errorCode = kCommandInternal;
    return;
  }
  // The instrument lock: another client's lock refuses every command not allowed while locked.
  void* owner = nullptr;
  if (g_node_host_if_parameters_lock != g_node_none)
    owner = g_node_host_if_parameters_lock->GetPointerAttribute(eAttrValue);
  if (owner != nullptr && owner != &client && !scpi_is_allowed_while_locked(command)) {
    if (command.errorCode == 0) command.errorCode = kCommandLocked;
    return;
  }
  if (scpi_is_query(command) && client.QueryDetected() != 0) {
    client.Status().PushError(kScpiErrorQueryError, true);
    command.abandon = 1;
    return;
  }
  g_Logger.Printf("CTorvexHostParser::_DispatchCommand: %s\n", kScpiCommandPatterns[number]);

  // A client never switches off the interface it is served over (the generic handler would).
  if (RefusesOwnInterfaceSwitchOff(command, client)) return;
  if (parser.HandleParameterCommand(command, client.Status(), g_TriggerActive.load())) return;
  kCommandHandlers[number](parser, command, client);
}

}  // namespace Torvex
