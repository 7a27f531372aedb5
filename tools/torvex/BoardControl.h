// The board's control socket: a Unix stream socket in the board root through which a running board
// is driven (button, temperature, state, ...). One request per connection: a line of words, answered
// by one line that starts with "ok" or "error".
//
// The server accepts on a thread of its own and serves each client on its own thread (at most 8 at
// once, each request line within 5 s); handlers run one at a time. The client is `torvex board`.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace board {

class ControlServer {
 public:
  // A handler receives the words after the command word and returns the reply text (without "ok");
  // it throws std::invalid_argument for a bad request (the reply is then "error <message>").
  using Handler = std::function<std::string(const std::vector<std::string>& args)>;

  ~ControlServer();

  void Add(const std::string& command, Handler handler);
  // Binds <root>/control.sock (replacing a stale one) and starts serving. False with a message when
  // the socket cannot be made.
  bool Start(const std::string& root, std::string& error);
  // Stops serving, waits for the clients being served and removes the socket file.
  void Stop();
  // Removes the socket file only (the process is about to end without destructors).
  void RemoveSocketFile();

  // Executes one request line as the server does (tests).
  std::string Execute(const std::string& line);

  // Called by a handler: `action` runs once the reply has been sent (for actions that end or restart
  // the process, which would otherwise cut the reply off).
  void AfterReply(std::function<void()> action);

 private:
  void Serve();
  void ServeClient(int fd);

  std::mutex lock_;
  std::map<std::string, Handler> handlers_;
  std::mutex execute_lock_;
  std::mutex clients_lock_;
  std::condition_variable clients_done_;
  int clients_ = 0;
  int listen_fd_ = -1;
  int wake_fd_[2] = {-1, -1};
  int root_fd_ = -1;
  std::atomic<bool> bound_{false};
  std::thread thread_;
};

// Sends one request to the board in `root` and returns its reply line; throws std::runtime_error
// when the board cannot be reached.
std::string SendRequest(const std::string& root, const std::string& line);

std::string ControlSocketPath(const std::string& root);

}  // namespace board
