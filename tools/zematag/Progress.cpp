#include "Progress.h"

#include <fmt/format.h>
#include <unistd.h>

#include <cstdio>

CProgress::CProgress(const std::string& what, long count, bool enabled)
    : label(what), total(count), active(enabled && count > 0 && isatty(STDERR_FILENO) == 1) {
  Update(0);
}

void CProgress::Update(long done) {
  if (!active) return;
  const int percent = static_cast<int>(done * 100 / total);
  if (percent == lastPercent) return;
  lastPercent = percent;
  constexpr int kWidth = 30;
  const int filled = percent * kWidth / 100;
  fmt::print(stderr, "\r{} [{}{}] {:3}% {}/{}", label, std::string(filled, '#'),
             std::string(kWidth - filled, ' '), percent, done, total);
  std::fflush(stderr);
}

void CProgress::Finish() {
  if (!active) return;
  active = false;
  fmt::print(stderr, "\n");
}
