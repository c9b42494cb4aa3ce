// Child processes for the tests that need a second program on the same file: fork, wait, kill,
// and dropping to an unprivileged user (root ignores file permissions).
#ifndef ZEMA_TESTS_SUPPORT_CHILDPROCESS_H
#define ZEMA_TESTS_SUPPORT_CHILDPROCESS_H

#include <sys/types.h>

#include <functional>
#include <string>

// Runs body in a forked child; the child's exit status is body's result (3 when it throws).
pid_t SpawnChild(const std::function<int()>& body);
// The exit status of a child; -signal when a signal ended it.
int WaitChild(pid_t pid);

// Kills and reaps a child that a failed assertion left running.
struct ChildGuard {
  pid_t pid;
  ~ChildGuard();
};

// In a child: gives up root for the user nobody (group nogroup, no other groups), so that file
// permissions apply. True when the process is unprivileged afterwards (already was, or dropped).
bool BecomeUnprivileged();

// Makes path and every folder above it that the unprivileged user cannot enter enterable
// (adds the execute bits), so that a child of BecomeUnprivileged reaches files below it.
void MakeReachable(const std::string& path);

#endif
