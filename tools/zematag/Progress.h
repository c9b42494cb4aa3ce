// A progress bar on stderr for long imports, drawn only when stderr is a terminal.
#ifndef ZEMATAG_PROGRESS_H
#define ZEMATAG_PROGRESS_H

#include <string>

class CProgress {
 public:
  // Draws nothing unless enabled and stderr is a terminal.
  CProgress(const std::string& label, long total, bool enabled);
  ~CProgress() { Finish(); }
  CProgress(const CProgress&) = delete;
  CProgress& operator=(const CProgress&) = delete;

  void Update(long done);
  // Ends the bar's line; further updates draw nothing.
  void Finish();

 private:
  std::string label;
  long total;
  bool active;
  int lastPercent = -1;
};

#endif
