// A child program for the process-runner tests. Its arguments are commands,
// run in order:
//   out TEXT | err TEXT   write TEXT ("\n" and "\t" unescaped) in one write
//   bytes N               write N bytes of 'x' to stdout in one write
//   env                   print every environment entry, one per line
//   fds                   print "open:" and the open descriptors above 2
//   session               print "leader" when the process leads its session
//   close-output          close standard output and standard error
//   sleep MS              sleep
//   kill SIGNAL           send itself the signal
//   exit N                exit with N
#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

extern char** environ;

namespace {

void Write(int fd, const std::string& text) { (void)!write(fd, text.data(), text.size()); }

// "\n" and "\t" in an argument stand for a newline and a tab.
std::string Unescape(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 1 < text.size()) {
      const char next = text[++i];
      out += next == 'n' ? '\n' : next == 't' ? '\t' : next;
    } else {
      out += text[i];
    }
  }
  return out;
}

}  // namespace

int main(int argc, char* argv[]) {
  for (int i = 1; i < argc; ++i) {
    const std::string command = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : "";
    if (command == "out" || command == "err") {
      Write(command == "out" ? 1 : 2, Unescape(value));
      ++i;
    } else if (command == "bytes") {
      Write(1, std::string(std::strtoul(value, nullptr, 10), 'x'));
      ++i;
    } else if (command == "env") {
      for (char** entry = environ; *entry != nullptr; ++entry) Write(1, std::string(*entry) + "\n");
    } else if (command == "fds") {
      std::string list;
      if (DIR* dir = opendir("/proc/self/fd")) {
        const int own = dirfd(dir);
        while (dirent* entry = readdir(dir)) {
          const int fd = std::atoi(entry->d_name);
          if (entry->d_name[0] != '.' && fd > 2 && fd != own) list += " " + std::to_string(fd);
        }
        closedir(dir);
      }
      Write(1, "open:" + list + "\n");
    } else if (command == "session") {
      Write(1, getsid(0) == getpid() ? "leader\n" : "member\n");
    } else if (command == "close-output") {
      close(1);
      close(2);
    } else if (command == "sleep") {
      std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(value)));
      ++i;
    } else if (command == "kill") {
      raise(std::atoi(value));
      ++i;
    } else if (command == "exit") {
      _exit(std::atoi(value));
    }
  }
  return 0;
}
