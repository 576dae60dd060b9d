// A child program for the process-runner tests. Its arguments are commands,
// run in order: out TEXT, err TEXT (one write; "\n" stands for a newline),
// bytes N (N times 'x'), env (the environment, one entry per line), fds
// ("open:" and the open descriptors above 2), session ("leader" or
// "member"), blocked ("blocked:" and the blocked signals), close-output,
// sleep MS, kill SIGNAL, exit N.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <thread>

extern char** environ;

namespace {

void Write(int fd, std::string text) {
  for (size_t at; (at = text.find("\\n")) != std::string::npos;) text.replace(at, 2, "\n");
  (void)!write(fd, text.data(), text.size());
}

}  // namespace

int main(int argc, char* argv[]) {
  for (int i = 1; i < argc; ++i) {
    const std::string command = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : "0";
    const int number = std::atoi(value);
    if (command == "out" || command == "err") Write(command == "out" ? 1 : 2, value);
    if (command == "bytes") Write(1, std::string(number, 'x'));
    if (command == "sleep") std::this_thread::sleep_for(std::chrono::milliseconds(number));
    if (command == "kill") raise(number);
    if (command == "exit") _exit(number);
    if (command == "session") Write(1, getsid(0) == getpid() ? "leader\n" : "member\n");
    if (command == "close-output") close(1), close(2);
    for (char** entry = environ; command == "env" && *entry != nullptr; ++entry) {
      Write(1, std::string(*entry) + "\n");
    }
    std::string fds = "open:";
    for (int fd = 3; command == "fds" && fd < 1024; ++fd) {
      if (fcntl(fd, F_GETFD) != -1) fds += " " + std::to_string(fd);
    }
    if (command == "fds") Write(1, fds + "\n");
    sigset_t mask;
    std::string blocked = "blocked:";
    for (int s = 1; command == "blocked" && sigprocmask(SIG_BLOCK, nullptr, &mask) == 0 && s < NSIG;
         ++s) {
      if (sigismember(&mask, s) == 1) blocked += " " + std::to_string(s);
    }
    if (command == "blocked") Write(1, blocked + "\n");
    // The commands with a value skip it.
    i += command == "out" || command == "err" || command == "bytes" || command == "sleep" ||
         command == "kill";
  }
  return 0;
}
