// vxi11_soak: the whole firmware's VXI-11 side under a long mixed load. Well-behaved clients ask
// queries with known answers ("*IDN?", "*OPC?", "SYSTem:VERSion?") as fast as they are answered, while
// misbehaving clients, chosen at random, do what careless and hostile clients do. At the start and the
// end it prints the board program's resident memory, threads and descriptors; at the end the replies
// lost (not answered within the client's time-out, or answered with an error) and wrong (another
// query's answer), which must both be 0, and the slowest well-behaved query.
//
//   vxi11_soak [--clients N] [--queries N] [--misbehave all|transport|link|none|NAME,...] [--seed N]
//              [--tick-us N] [--deadline-ms N] [--seconds N]
//
// --queries is per well-behaved client (default 100000, with 8 clients); --seconds ends the run early
// (the queries not asked by then are not counted). The misbehaviours:
//   transport: unread-replies (pipelined device_readstb never read), portmapper-idle, portmapper-trickle
//              (a GETPORT call a byte every 300 ms), portmapper-pipeline (GETPORT calls never read),
//              crowd (100 connections held for a second);
//   link:      abort-read (a measurement read aborted 50 ms after it started), read-while-processing
//              (*CLS, an at once timed-out read, then *IDN?), read-then-leave (a read with the longest
//              time-out, then the connection closed), unread-responses (70 links that write *IDN? and
//              never read), abort-clear-storm (reads aborted and device clears for 2 s).
// Exit status 0 when nothing was lost or wrong and the board program still runs.
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "firmware_process.h"
#include "support/free_port.h"
#include "support/process_stats.h"
#include "support/vxi11_session.h"
#include "support/wait_for.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using vxi11_test::ArgWords;
using vxi11_test::Bytes;
using vxi11_test::Call;
using vxi11_test::CallSpec;
using vxi11_test::Put;
using vxi11_test::RawClient;
using vxi11_test::Session;

struct Options {
  int clients = 8;
  long queries = 100000;
  std::string misbehave = "all";
  unsigned seed = 29;
  unsigned tick_us = 10000;
  int deadline_ms = 10000;
  int seconds = 0;  // 0: until every query has been asked
};

struct Ports {
  std::uint16_t portmapper = 0;
  std::uint16_t core = 0;
};

Bytes Record(const Bytes& message) {
  Bytes out;
  Put(&out, 0x80000000u | static_cast<std::uint32_t>(message.size()));
  out.insert(out.end(), message.begin(), message.end());
  return out;
}

Bytes GetPortCall() {
  CallSpec spec;
  spec.prog = vxi11_test::kPortMapperProgram;
  spec.vers = 2;
  spec.proc = 3;
  return Call(spec, ArgWords({vxi11_test::kCoreProgram, 1, 6, 0}));
}

bool EndedByPeer(int fd) {
  pollfd p{fd, POLLRDHUP, 0};
  return poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

// Sends `record` again and again without reading, until the peer ends the connection, the connection
// takes nothing for `quiet`, or `stop`.
void Flood(int fd, const Bytes& record, const std::atomic<bool>& stop, std::chrono::milliseconds quiet = 3s) {
  std::size_t offset = 0;
  auto progress = Clock::now();
  while (!stop && Clock::now() - progress < quiet) {
    const ssize_t n = send(fd, record.data() + offset, record.size() - offset, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n > 0) {
      progress = Clock::now();
      offset = (offset + static_cast<std::size_t>(n)) % record.size();
      continue;
    }
    if (n == -1 && errno != EAGAIN && errno != EWOULDBLOCK) return;
    pollfd p{fd, POLLOUT, 0};
    poll(&p, 1, 50);
  }
}

// Waits up to `limit` for `done`, or until `stop`.
template <typename Done>
void Hold(const std::atomic<bool>& stop, std::chrono::milliseconds limit, Done done) {
  const auto end = Clock::now() + limit;
  while (!stop && Clock::now() < end && !done()) std::this_thread::sleep_for(5ms);
}

// The device_abort call for `lid` on an abort channel.
Bytes AbortCall(std::uint32_t lid) {
  CallSpec spec;
  spec.xid = 0xAB0;
  spec.prog = 0x0607B0;
  spec.proc = 1;
  return Call(spec, ArgWords({lid}));
}

// Each misbehaviour is one bounded episode.
using Episode = std::function<void(const Ports&, std::mt19937&, const std::atomic<bool>&)>;

struct Misbehaviour {
  const char* name;
  bool transport;
  Episode run;
};

const std::vector<Misbehaviour>& Misbehaviours() {
  static const std::vector<Misbehaviour> list = {
      {"unread-replies", true,
       [](const Ports& p, std::mt19937&, const std::atomic<bool>& stop) {
         Session s;
         if (!s.Open(p.core, "inst0", 5000, 4096)) return;
         Flood(s.raw().fd(), Record(s.CallMessage(13, ArgWords({s.lid(), 0, 1000, 1000}))), stop);
         Hold(stop, 10s, [&] { return EndedByPeer(s.raw().fd()); });
       }},
      {"portmapper-idle", true,
       [](const Ports& p, std::mt19937&, const std::atomic<bool>& stop) {
         RawClient c;
         if (!c.Connect(p.portmapper)) return;
         Hold(stop, 3s, [&] { return EndedByPeer(c.fd()); });
       }},
      {"portmapper-trickle", true,
       [](const Ports& p, std::mt19937&, const std::atomic<bool>& stop) {
         RawClient c;
         if (!c.Connect(p.portmapper)) return;
         const Bytes record = Record(GetPortCall());
         for (std::size_t i = 0; i < record.size() && !stop && !EndedByPeer(c.fd()); ++i) {
           if (!c.SendRaw({record[i]})) return;
           Hold(stop, 300ms, [] { return false; });
         }
       }},
      {"portmapper-pipeline", true,
       [](const Ports& p, std::mt19937&, const std::atomic<bool>& stop) {
         RawClient c;
         if (!c.Connect(p.portmapper, false, 4096)) return;
         Flood(c.fd(), Record(GetPortCall()), stop);
       }},
      {"crowd", true,
       [](const Ports& p, std::mt19937&, const std::atomic<bool>& stop) {
         std::vector<std::unique_ptr<RawClient>> crowd;
         for (int i = 0; i < 100 && !stop; ++i) {
           crowd.push_back(std::make_unique<RawClient>());
           crowd.back()->Connect(p.core);
         }
         Hold(stop, 1s, [] { return false; });
       }},
      {"abort-read", false,
       [](const Ports& p, std::mt19937&, const std::atomic<bool>& stop) {
         Session s;
         if (!s.Open(p.core) || !s.Write("MEAS? 1.5,3,(@1)\n").answered) return;
         s.raw().SendRecord(s.CallMessage(12, ArgWords({s.lid(), 4096, 5000, 5000, 0, 0})));
         Hold(stop, 50ms, [] { return false; });
         RawClient abort;
         if (abort.Connect(s.abort_port())) abort.Exchange(AbortCall(s.lid()));
         s.raw().ReadRecord(nullptr, 6000);  // the aborted read's reply
         s.Query("*IDN?\n");
       }},
      {"read-while-processing", false,
       [](const Ports& p, std::mt19937&, const std::atomic<bool>&) {
         Session s;
         if (!s.Open(p.core) || !s.Write("*CLS\n").answered) return;
         s.ReadOnce(1, 5000);
         s.Query("*IDN?\n");
       }},
      {"read-then-leave", false,
       [](const Ports& p, std::mt19937&, const std::atomic<bool>& stop) {
         Session s;
         if (!s.Open(p.core)) return;
         s.raw().SendRecord(s.CallMessage(12, ArgWords({s.lid(), 4096, 0xFFFFFFFF, 0xFFFFFFFF, 0, 0})));
         Hold(stop, 100ms, [] { return false; });
       }},
      {"unread-responses", false,
       [](const Ports& p, std::mt19937&, const std::atomic<bool>& stop) {
         std::vector<std::unique_ptr<Session>> links;
         for (int i = 0; i < 70 && !stop; ++i) {
           links.push_back(std::make_unique<Session>());
           if (!links.back()->Open(p.core) || !links.back()->Write("*IDN?\n").answered) break;
         }
         Hold(stop, 500ms, [] { return false; });
       }},
      {"abort-clear-storm", false,
       [](const Ports& p, std::mt19937& random, const std::atomic<bool>& stop) {
         const auto end = Clock::now() + 2s;
         std::thread clearer([&] {
           Session s;
           if (!s.Open(p.core)) return;
           while (!stop && Clock::now() < end) {
             s.raw().Exchange(s.CallMessage(15, ArgWords({s.lid(), 0, 1000, 1000})));
           }
         });
         const unsigned pause_ms = 10 + random() % 40;
         while (!stop && Clock::now() < end) {
           Session s;
           if (!s.Open(p.core) || !s.Write("*IDN?\n").answered) break;
           s.raw().SendRecord(s.CallMessage(12, ArgWords({s.lid(), 4096, 3000, 3000, 0, 0})));
           std::this_thread::sleep_for(std::chrono::milliseconds(pause_ms));
           RawClient abort;
           if (abort.Connect(s.abort_port())) abort.Exchange(AbortCall(s.lid()));
           s.raw().ReadRecord(nullptr, 4000);
         }
         clearer.join();
       }},
  };
  return list;
}

Options Parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    if (value == nullptr) {
      std::fprintf(stderr, "vxi11_soak: %s needs a value\n", arg.c_str());
      std::exit(2);
    }
    ++i;
    if (arg == "--clients") {
      o.clients = std::max(1, std::atoi(value));
    } else if (arg == "--queries") {
      o.queries = std::max(1L, std::atol(value));
    } else if (arg == "--misbehave") {
      o.misbehave = value;
    } else if (arg == "--seed") {
      o.seed = static_cast<unsigned>(std::strtoul(value, nullptr, 10));
    } else if (arg == "--tick-us") {
      o.tick_us = static_cast<unsigned>(std::strtoul(value, nullptr, 10));
    } else if (arg == "--deadline-ms") {
      o.deadline_ms = std::max(100, std::atoi(value));
    } else if (arg == "--seconds") {
      o.seconds = std::max(0, std::atoi(value));
    } else {
      std::fprintf(stderr, "vxi11_soak: unknown argument %s\n", arg.c_str());
      std::exit(2);
    }
  }
  return o;
}

std::vector<const Misbehaviour*> Chosen(const std::string& spec) {
  std::vector<const Misbehaviour*> chosen;
  for (const Misbehaviour& m : Misbehaviours()) {
    const bool all = spec == "all";
    const bool group = (spec == "transport" && m.transport) || (spec == "link" && !m.transport);
    const bool named = ("," + spec + ",").find("," + std::string(m.name) + ",") != std::string::npos;
    if (all || group || named) chosen.push_back(&m);
  }
  return chosen;
}

// What the well-behaved clients saw.
struct Tally {
  std::atomic<long> answered{0};
  std::atomic<long> lost{0};
  std::atomic<long> wrong{0};
  std::atomic<long long> slowest_us{0};
  std::mutex mutex;
  std::vector<std::string> first_failures;

  void Fail(std::atomic<long>& counter, const std::string& what) {
    ++counter;
    std::lock_guard<std::mutex> hold(mutex);
    if (first_failures.size() < 20) first_failures.push_back(what);
  }
};

}  // namespace

int main(int argc, char** argv) {
  const Options options = Parse(argc, argv);
  const std::vector<const Misbehaviour*> chosen = Chosen(options.misbehave);
  if (options.misbehave != "none" && chosen.empty()) {
    std::fprintf(stderr, "vxi11_soak: no misbehaviour called %s\n", options.misbehave.c_str());
    return 2;
  }

  torvex_test::FirmwareProcess board;
  Ports ports;
  ports.portmapper = torvex_test::FreeLoopbackPort();
  board.Start({"--portmapper-port", std::to_string(ports.portmapper)}, options.tick_us);
  if (!board.WaitForOutput("board: ready", 120s)) {
    std::fprintf(stderr, "vxi11_soak: the board did not get ready\n%s", board.Output().c_str());
    return 1;
  }
  // The expected answers, from a session before any load.
  const std::vector<std::string> queries = {"*IDN?\n", "*OPC?\n", "SYSTem:VERSion?\n"};
  std::vector<std::string> answers(queries.size());
  const bool ready = torvex_test::WaitFor(
      [&] {
        ports.core = vxi11_test::PortMapperGetPort(ports.portmapper, true, 1000);
        Session probe;
        if (ports.core == 0 || !probe.Open(ports.core, "inst0", 5000)) return false;
        for (std::size_t i = 0; i < queries.size(); ++i) {
          const Session::Reply r = probe.Query(queries[i], 10000, 10000);
          if (!r.answered || r.error != 0 || r.data.empty()) return false;
          answers[i] = r.data;
        }
        return true;
      },
      120s);
  if (!ready) {
    std::fprintf(stderr, "vxi11_soak: no VXI-11 answer from the board\n");
    return 1;
  }

  const torvex_test::ProcessStats start = torvex_test::ReadProcessStats(board.Pid());
  std::printf("start: %s\n", torvex_test::Describe(start).c_str());
  std::printf("%d well-behaved clients x %ld queries; misbehaviours:", options.clients, options.queries);
  for (const Misbehaviour* m : chosen) std::printf(" %s", m->name);
  std::printf("%s\n", chosen.empty() ? " none" : "");
  std::fflush(stdout);

  Tally tally;
  std::atomic<bool> stop_misbehaving{false};
  std::map<std::string, long> episodes;
  std::mutex episodes_mutex;
  std::vector<std::thread> misbehaving;
  // Two misbehaving clients at a time, each going from one random misbehaviour to the next.
  for (int m = 0; m < (chosen.empty() ? 0 : 2); ++m) {
    misbehaving.emplace_back([&, m] {
      std::mt19937 random(options.seed + static_cast<unsigned>(m));
      while (!stop_misbehaving) {
        const Misbehaviour* pick = chosen[random() % chosen.size()];
        pick->run(ports, random, stop_misbehaving);
        std::lock_guard<std::mutex> hold(episodes_mutex);
        ++episodes[pick->name];
      }
    });
  }

  const auto began = Clock::now();
  const auto time_up = began + std::chrono::seconds(options.seconds);
  std::vector<std::thread> clients;
  for (int c = 0; c < options.clients; ++c) {
    clients.emplace_back([&, c] {
      std::unique_ptr<Session> session;
      for (long q = 0; q < options.queries; ++q) {
        if (options.seconds > 0 && Clock::now() >= time_up) break;
        if (session == nullptr) {
          session = std::make_unique<Session>();
          if (!session->Open(ports.core, "inst0", options.deadline_ms)) {
            tally.Fail(tally.lost, "client " + std::to_string(c) + ": create_link not answered");
            session.reset();
            std::this_thread::sleep_for(10ms);
            continue;
          }
        }
        const std::size_t which = static_cast<std::size_t>(q + c) % queries.size();
        const std::string asked = queries[which].substr(0, queries[which].size() - 1);
        const auto t0 = Clock::now();
        const Session::Reply r = session->Query(queries[which], 10000, options.deadline_ms);
        const long long us = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - t0).count();
        if (!r.answered) {
          tally.Fail(tally.lost, "client " + std::to_string(c) + ": " + asked + " not answered within " +
                                     std::to_string(options.deadline_ms) + " ms");
          session.reset();
          continue;
        }
        if (r.error != 0) {
          tally.Fail(tally.lost, "client " + std::to_string(c) + ": " + asked + " error " + std::to_string(r.error));
          continue;
        }
        if (r.data != answers[which]) {
          tally.Fail(tally.wrong, "client " + std::to_string(c) + ": " + asked + " answered \"" + r.data + "\"");
          continue;
        }
        ++tally.answered;
        long long seen = tally.slowest_us.load();
        while (us > seen && !tally.slowest_us.compare_exchange_weak(seen, us)) {
        }
      }
    });
  }
  // Progress every 10 s while the clients run.
  std::atomic<bool> clients_done{false};
  std::thread progress([&] {
    auto next = Clock::now() + 10s;
    while (!clients_done) {
      std::this_thread::sleep_for(100ms);
      if (Clock::now() < next) continue;
      next += 10s;
      const torvex_test::ProcessStats now = torvex_test::ReadProcessStats(board.Pid());
      std::printf("  %5.0f s: %ld answered, %ld lost, %ld wrong; %s\n",
                  std::chrono::duration<double>(Clock::now() - began).count(), tally.answered.load(), tally.lost.load(),
                  tally.wrong.load(), torvex_test::Describe(now).c_str());
      std::fflush(stdout);
    }
  });
  for (std::thread& t : clients) t.join();
  clients_done = true;
  progress.join();
  stop_misbehaving = true;
  for (std::thread& t : misbehaving) t.join();
  const double seconds = std::chrono::duration<double>(Clock::now() - began).count();

  // Connections the misbehaving clients left are gone once the firmware has noticed; give it a moment.
  torvex_test::WaitFor([&] { return torvex_test::ReadProcessStats(board.Pid()).threads <= start.threads; }, 15s);
  const torvex_test::ProcessStats end = torvex_test::ReadProcessStats(board.Pid());
  const bool running = board.Running();
  std::printf("end:   %s%s\n", torvex_test::Describe(end).c_str(), running ? "" : " (the board program has ended)");
  std::printf("episodes:");
  for (const auto& [name, count] : episodes) std::printf(" %s %ld", name.c_str(), count);
  std::printf(
      "\nqueries answered %ld in %.1f s (%.0f per second); replies lost %ld, wrong %ld; slowest "
      "well-behaved query %.1f ms\n",
      tally.answered.load(), seconds, tally.answered.load() / seconds, tally.lost.load(), tally.wrong.load(),
      tally.slowest_us.load() / 1000.0);
  for (const std::string& f : tally.first_failures) std::printf("  %s\n", f.c_str());
  return tally.lost == 0 && tally.wrong == 0 && running ? 0 : 1;
}
