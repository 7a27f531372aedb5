#include "factory_xml_reader.h"

#include <expat.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>

extern char** environ;

namespace torvex_test {

std::string RomfsImagePath(const std::string& relative) { return std::string(TORVEX_ROMFS_DIR) + "/" + relative; }

std::string SourcePath(const std::string& relative) { return std::string(TORVEX_SOURCE_DIR) + "/" + relative; }

std::optional<std::string> ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

namespace {

struct ReadState {
  XML_Parser parser = nullptr;
  XmlDocument* doc = nullptr;
  // One entry per open element: its name for a Branch (empty for the top element), or nothing for a
  // leaf, whose own children would be misplaced.
  std::vector<std::optional<std::string>> open;
};

std::string JoinPath(const std::vector<std::optional<std::string>>& open, const std::string& name) {
  std::string path;
  for (const auto& part : open) {
    if (!part || part->empty()) continue;
    path += *part + "/";
  }
  return path + name;
}

void OnStart(void* data, const XML_Char* name, const XML_Char** attrs) {
  auto* state = static_cast<ReadState*>(data);
  XmlElement element;
  element.type = name;
  element.line = static_cast<int>(XML_GetCurrentLineNumber(state->parser));
  for (int i = 0; attrs[i] != nullptr; i += 2) element.attributes.emplace_back(attrs[i], attrs[i + 1]);
  const std::string ownName = element.attributes.empty() ? std::string() : element.attributes[0].second;
  for (const auto& part : state->open) element.insideLeaf = element.insideLeaf || !part;
  element.path = state->open.empty() ? std::string() : JoinPath(state->open, ownName);
  const bool isTop = state->open.empty();
  if (element.type == "Branch") {
    state->open.emplace_back(isTop ? std::string() : ownName);
  } else {
    state->open.emplace_back(std::nullopt);
  }
  state->doc->elements.push_back(std::move(element));
}

void OnEnd(void* data, const XML_Char*) {
  auto* state = static_cast<ReadState*>(data);
  if (!state->open.empty()) state->open.pop_back();
}

}  // namespace

XmlDocument ReadParameterXml(const std::string& text) {
  XmlDocument doc;
  ReadState state;
  state.doc = &doc;
  state.parser = XML_ParserCreate(nullptr);
  XML_SetUserData(state.parser, &state);
  XML_SetElementHandler(state.parser, OnStart, OnEnd);
  if (XML_Parse(state.parser, text.data(), static_cast<int>(text.size()), XML_TRUE) != XML_STATUS_OK) {
    doc.error = std::string(XML_ErrorString(XML_GetErrorCode(state.parser))) + " at line " +
                std::to_string(XML_GetCurrentLineNumber(state.parser));
  }
  XML_ParserFree(state.parser);
  return doc;
}

std::optional<std::string> FindInPath(const std::string& name) {
  const char* path = std::getenv("PATH");
  if (path == nullptr) return std::nullopt;
  std::istringstream dirs(path);
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    if (dir.empty()) continue;
    const std::string candidate = dir + "/" + name;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return std::nullopt;
}

ProgramRun RunProgram(const std::string& program, const std::vector<std::string>& args) {
  ProgramRun run;
  int fds[2];
  if (::pipe(fds) != 0) return run;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, fds[1], STDERR_FILENO);
  posix_spawn_file_actions_addclose(&actions, fds[0]);
  posix_spawn_file_actions_addclose(&actions, fds[1]);

  std::vector<std::string> argStorage;
  argStorage.push_back(program);
  argStorage.insert(argStorage.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& arg : argStorage) argv.push_back(arg.data());
  argv.push_back(nullptr);

  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(fds[1]);
  if (spawned != 0) {
    ::close(fds[0]);
    run.output = "could not start " + program;
    return run;
  }
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
    if (n > 0) {
      run.output.append(buffer, static_cast<size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      break;
    }
  }
  ::close(fds[0]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) run.exitStatus = WEXITSTATUS(status);
  return run;
}

}  // namespace torvex_test
