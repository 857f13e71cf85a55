// The least a discovery can cost: start the tool, read its answer through a
// pipe and parse it. The reference of tzdag discover-dbs in
// process_compare.
//
//   floor-program TOOL                 TOOL's standard output, parsed with pugixml
//   floor-program --keeper KEEPER TOOL the same with TOOL run below the
//                                      platform's keeper program (KEEPER)
//
// Exits 0 when the answer parses, 1 otherwise.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <pugixml.hpp>

namespace {

bool ReadAll(int fd, std::string& text) {
  char buffer[64 * 1024];
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n > 0) {
      text.append(buffer, static_cast<size_t>(n));
    } else if (n == 0) {
      return true;
    } else if (errno != EINTR) {
      return false;
    }
  }
}

bool Wait(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return false;
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  const char* keeper = nullptr;
  int first = 1;
  if (argc == 4 && std::strcmp(argv[1], "--keeper") == 0) {
    keeper = argv[2];
    first = 3;
  }
  if (argc != first + 1) {
    std::fprintf(stderr, "usage: floor-program [--keeper KEEPER] TOOL\n");
    return 2;
  }
  const char* tool = argv[first];

  int output[2];
  int report[2];
  if (pipe2(output, O_CLOEXEC) != 0 || pipe2(report, O_CLOEXEC) != 0) return 1;
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attributes);
  std::vector<std::string> words;
  if (keeper == nullptr) {
    posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
    words = {tool};
  } else {
    // The keeper's command line (platform/keeper/keeper_main.cpp), its
    // descriptors kept open across the start and every signal blocked.
    posix_spawn_file_actions_adddup2(&actions, output[1], output[1]);
    posix_spawn_file_actions_adddup2(&actions, report[1], report[1]);
    sigset_t all;
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attributes, &all);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
    words = {"tzdag-keeper",
             "-1",
             std::to_string(output[1]),
             "-1",
             std::to_string(report[1]),
             "0",
             "0",
             tool};
  }
  std::vector<char*> args;
  for (std::string& word : words) args.push_back(&word[0]);
  args.push_back(nullptr);
  char* noEnvironment[] = {nullptr};
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, keeper != nullptr ? keeper : tool, &actions, &attributes,
                             args.data(), noEnvironment);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  close(output[1]);
  close(report[1]);
  if (rc != 0) return 1;

  std::string answer;
  const bool read = ReadAll(output[0], answer);
  close(output[0]);
  std::string reports;
  ReadAll(report[0], reports);
  close(report[0]);
  if (!Wait(pid) || !read) return 1;

  pugi::xml_document document;
  return document.load_buffer(answer.data(), answer.size()) ? 0 : 1;
}
