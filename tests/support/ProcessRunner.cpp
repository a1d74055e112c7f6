#include "ProcessRunner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <stdexcept>

extern char** environ;

namespace vq::test {
namespace {

struct TPipe {
  int Read = -1;
  int Write = -1;
  TPipe() {
    int Ends[2];
    if (pipe2(Ends, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
    Read = Ends[0];
    Write = Ends[1];
  }
  ~TPipe() {
    CloseRead();
    CloseWrite();
  }
  void CloseRead() { Close(Read); }
  void CloseWrite() { Close(Write); }

private:
  static void Close(int& Fd) {
    if (Fd >= 0) close(Fd);
    Fd = -1;
  }
};

// Reads both outputs until they end or the deadline passes.
bool Collect(TPipe& Out, TPipe& Err, TRun& Run, std::chrono::steady_clock::time_point Deadline) {
  std::array<pollfd, 2> Fds{{{Out.Read, POLLIN, 0}, {Err.Read, POLLIN, 0}}};
  std::array<std::string*, 2> Texts{&Run.Out, &Run.Err};
  while (Fds[0].fd >= 0 || Fds[1].fd >= 0) {
    const auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(Deadline - std::chrono::steady_clock::now());
    if (Left.count() <= 0) return false;
    if (poll(Fds.data(), Fds.size(), static_cast<int>(Left.count())) < 0) return false;
    for (size_t I = 0; I < Fds.size(); ++I) {
      if (Fds[I].fd < 0 || Fds[I].revents == 0) continue;
      char Buffer[65536];
      const ssize_t Count = read(Fds[I].fd, Buffer, sizeof Buffer);
      if (Count > 0) {
        Texts[I]->append(Buffer, static_cast<size_t>(Count));
      } else {
        Fds[I].fd = -1;
      }
    }
  }
  return true;
}

}  // namespace

TRun RunProgram(const std::vector<std::string>& Command, const TRunOptions& Options) {
  TPipe In, Out, Err;
  if (write(In.Write, Options.Input.data(), Options.Input.size()) != static_cast<ssize_t>(Options.Input.size()))
    throw std::runtime_error("write to stdin pipe failed");
  In.CloseWrite();
  posix_spawn_file_actions_t Actions;
  posix_spawn_file_actions_init(&Actions);
  posix_spawn_file_actions_adddup2(&Actions, In.Read, STDIN_FILENO);
  if (Options.CloseStdout)
    posix_spawn_file_actions_addclose(&Actions, STDOUT_FILENO);
  else
    posix_spawn_file_actions_adddup2(&Actions, Out.Write, STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&Actions, Err.Write, STDERR_FILENO);
  std::vector<char*> Argv;
  for (const auto& Argument : Command) Argv.push_back(const_cast<char*>(Argument.c_str()));
  Argv.push_back(nullptr);
  pid_t Pid = 0;
  const int Spawned = posix_spawn(&Pid, Argv[0], &Actions, nullptr, Argv.data(), environ);
  posix_spawn_file_actions_destroy(&Actions);
  if (Spawned != 0) throw std::runtime_error("cannot start " + Command.front());
  Out.CloseWrite();
  Err.CloseWrite();
  TRun Run;
  Run.TimedOut = !Collect(Out, Err, Run, std::chrono::steady_clock::now() + Options.Limit);
  if (Run.TimedOut) kill(Pid, SIGKILL);
  int Status = 0;
  waitpid(Pid, &Status, 0);
  Run.ExitCode = WIFEXITED(Status) ? WEXITSTATUS(Status) : 128 + WTERMSIG(Status);
  return Run;
}

}  // namespace vq::test
