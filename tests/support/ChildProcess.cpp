#include "support/ChildProcess.h"

#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

pid_t SpawnChild(const std::function<int()>& body) {
  fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    int status = 3;
    try {
      status = body();
    } catch (...) {
      fprintf(stderr, "child %d: exception\n", static_cast<int>(getpid()));
    }
    _exit(status);
  }
  return pid;
}

int WaitChild(pid_t pid) {
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1000;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

ChildGuard::~ChildGuard() {
  if (pid > 0 && kill(pid, SIGKILL) == 0) waitpid(pid, nullptr, 0);
}

bool BecomeUnprivileged() {
  if (geteuid() != 0) return true;
  const passwd* nobody = getpwnam("nobody");
  const uid_t uid = nobody != nullptr ? nobody->pw_uid : 65534;
  const gid_t gid = nobody != nullptr ? nobody->pw_gid : 65534;
  return setgroups(0, nullptr) == 0 && setresgid(gid, gid, gid) == 0 &&
         setresuid(uid, uid, uid) == 0 && geteuid() != 0;
}

void MakeReachable(const std::string& path) {
  std::string prefix;
  size_t at = 0;
  while (at != std::string::npos) {
    at = path.find('/', at + 1);
    prefix = path.substr(0, at);
    struct stat info;
    if (prefix.empty() || stat(prefix.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) continue;
    if ((info.st_mode & S_IXOTH) == 0) chmod(prefix.c_str(), (info.st_mode & 07777) | 0111);
  }
}
