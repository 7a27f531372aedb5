// CTorvexHostParser: the "Host Parser Thread", the one thread that executes the SCPI program messages
// of every client.
//
// Host objects queue each complete program message with themselves as the client. The thread takes
// one message at a time, parses all its commands first (nothing runs when one fails to parse), runs
// them in order through _DispatchCommand, sends the joined reply, updates every status object and
// re-arms the client.
//
// _DispatchCommand enforces the instrument lock, announces queries, lets HandleParameterCommand execute
// the commands bound to parameter nodes (and refuse settings while a triggered measurement runs), and
// runs the command's own code: the handler of its row (kCommandHandlers, HostCommandHandlers.h). The
// handlers live in the units of their command families and use the public getters, node setters and
// formatters below. All of them run on the parser thread only.
//
// Client lifetime: ReleaseClient (called by a host object's destructor) removes the client's queued
// messages and waits until the parser is no longer executing it; on the parser thread itself it
// returns at once and the parser forgets the client at the end of the message.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "core/CThread.h"
#include "core/CTorvexChannel.h"
#include "scpi/ScpiParsedCommand.h"
#include "status/CScpiStatus.h"
#include "tree/CParameterNode.h"

namespace Torvex {

class CTorvexHost;

// Result kinds of FormatResultData.
enum eResultKind : std::uint32_t {
  kResultFlux = 0,
  kResultSigma = 1,
  kResultUniformity = 2,
  kResultChannel = 3,
  kResultTimestamp = 4,
  kResultIfFrequency = 5,
  kResultSearchProgress = 6,
  kResultRelaxationTime = 7,
  kResultRfFrequency = 8,
  kResultNmrSignal = 9,
  kResultFftBuffer = 10,
  kResultPeakSpectrum = 11,
  kResultFit = 12,
  kResultKindCount = 13,
};

// Error codes the dispatcher and the getters write into a command record.
inline constexpr std::uint8_t kCommandWrongUnits = 30;
inline constexpr std::uint8_t kCommandNoProbe = 249;
inline constexpr std::uint8_t kCommandQueryAfterIndefiniteResponse = 250;
inline constexpr std::uint8_t kCommandDataNotAllAvailable = 251;
inline constexpr std::uint8_t kCommandLocked = 252;
inline constexpr std::uint8_t kCommandOutOfRange = 253;
inline constexpr std::uint8_t kCommandInternal = 254;
inline constexpr std::uint8_t kCommandOutOfMemory = 255;

// Results of CheckParameterDependency.
inline constexpr int kDependencyNone = 0;
inline constexpr int kDependencyNoEffect = 1;
inline constexpr int kDependencyRefused = 3;

// One Hall-sensor reading shared by the Hall queries of one program message.
struct HallReadingCache {
  bool valid = false;
  std::int32_t x = 0;
  std::int32_t y = 0;
  std::int32_t z = 0;
  std::int32_t total = 0;
};

class CTorvexHostParser : public CThread {
 public:
  // Builds the queue and starts the thread when the command table is complete.
  CTorvexHostParser();
  // Stops and joins the thread; the queued messages are dropped.
  ~CTorvexHostParser() override;

  // ---- any thread ----
  // Copies the message and queues it for the client.
  void QueueMessage(const std::string& message, CTorvexHost* client);
  // Drops every queued message of the client.
  void RemoveClientMessages(CTorvexHost* client);
  // The device-clear form: drops the client's queued messages and marks its executing message (if
  // any) cleared, so that its reply is dropped. True when a queued message was dropped (the client's
  // receive buffer was then with the parser and must be posted again).
  bool ClearClient(CTorvexHost* client);
  // Deletes a client through `destroy` once the parser no longer executes it: at once (after
  // ReleaseClient) on any other thread; at the end of the current message on the parser thread.
  void DestroyClient(CTorvexHost* client, std::function<void()> destroy);
  // Runs `work` after the current program message when called on the parser thread while a message
  // executes (the module switches, which may delete a client, run so); at once otherwise.
  void RunAfterMessage(std::function<void()> work);
  // RemoveClientMessages, then waits until the parser is not executing the client (returns at once on
  // the parser thread, where the client is forgotten at the end of the message).
  void ReleaseClient(CTorvexHost* client);
  // True on the parser thread.
  bool OnParserThread() const;
  // True when nothing is queued or executing.
  bool Idle();
  // True when the thread runs (the command table was complete).
  bool IsRunning() const { return m_Running.load(); }
  // Messages executed so far (for the benchmark and tests).
  std::uint64_t MessagesExecuted() const { return m_MessagesExecuted.load(); }

  // ---- parser thread: the command machinery ----
  static void ReportParseError(CScpiStatus& status, const ScpiParsedCommand& command);
  static void _DispatchCommand(CTorvexHostParser& parser, ScpiParsedCommand& command, CTorvexHost& client);
  // The generic handler: refuses a setting while a triggered measurement runs (`triggerActive`) when
  // its row says so; then a query reads the node the record's suffix selects into the reply (the
  // value, or MINimum, MAXimum, DEFault), a setting writes parameter slot 0 into it after the
  // dependency check and sets the row's status row. True when the command is completely handled (a
  // refusal, or a generic row); false when the command's own code is to run.
  bool HandleParameterCommand(ScpiParsedCommand& command, CScpiStatus& status, bool triggerActive);
  static int CheckParameterDependency(CParameterNode* node, const void* newValue);

  // Parameter getters. Errors go into command.errorCode (the first one wins).
  static std::uint8_t GetBooleanParameter(ScpiParsedCommand& command, std::size_t slot, CParameterNode* node);
  static std::string GetStringParameter(ScpiParsedCommand& command, std::size_t slot, CParameterNode* node);
  static std::int32_t GetIntegerParameter(ScpiParsedCommand& command, std::size_t slot, CParameterNode* node);
  static double GetDoubleParameter(ScpiParsedCommand& command, std::size_t slot, CParameterNode* node, bool rangeCheck);
  static double GetFluxParameter(ScpiParsedCommand& command, std::size_t slot, CParameterNode* node,
                                 std::int32_t selectedUnit, std::int32_t storageUnit);
  static std::vector<CTorvexChannel> GetChannelListParameter(const ScpiParsedCommand& command, std::size_t slot);
  static std::string ReadStringAttribute(ScpiParsedCommand& command, CParameterNode* node, int attribute);

  // Node setters: nothing when an error code is already set; subscribers run after the tree lock is
  // released.
  static void SetBooleanNode(ScpiParsedCommand& command, CParameterNode* node, int attribute, bool value);
  static void SetStringNode(ScpiParsedCommand& command, CParameterNode* node, int attribute, const std::string& value);
  static void SetIntegerNode(ScpiParsedCommand& command, CParameterNode* node, int attribute, std::int32_t value);
  static void SetDoubleNode(ScpiParsedCommand& command, CParameterNode* node, int attribute, double value);

  // Measurement results as text or "#6" blocks, appended to the client's reply. Result failures
  // queue 204 "Data not all available" on `status`; the values written before a failure stay.
  void FormatResultData(ScpiParsedCommand& command, CTorvexHost& client, std::uint32_t kind, std::uint32_t count,
                        std::uint32_t decimals, CScpiStatus& status);

  // The Hall reading shared by the Hall queries of the current message.
  HallReadingCache& HallCache() { return m_HallCache; }

 protected:
  void ThreadMain() override;

 private:
  struct QueuedMessage {
    std::string text;
    CTorvexHost* client;
  };

  // Parses and runs one program message of `client`.
  void ExecuteMessage(const std::string& text, CTorvexHost& client);
  // The end-of-message work; without a client (deleted by its own command) only the shared part.
  void EndOfMessage(CTorvexHost* client, bool abandoned);

  std::deque<QueuedMessage> m_Queue;
  std::mutex m_QueueMutex;
  std::condition_variable m_QueueChanged;  // a message queued, the executing client changed, stop
  CTorvexHost* m_Executing = nullptr;      // the client whose message runs (queue mutex)
  bool m_ExecutingCleared = false;         // a device clear came during the executing message
  bool m_ForgetExecuting = false;          // the executing client was released on this thread
  bool m_Exited = false;
  std::vector<std::function<void()>> m_AfterMessage;  // parser thread only
  bool m_Stop = false;
  std::atomic<bool> m_Running{false};
  std::atomic<std::uint64_t> m_MessagesExecuted{0};
  HallReadingCache m_HallCache;
};

}  // namespace Torvex
