// The error every command reports: one line of text for stderr, without the "zematag: " prefix.
#ifndef ZEMATAG_TOOLERROR_H
#define ZEMATAG_TOOLERROR_H

#include <stdexcept>
#include <string>

class ToolError : public std::runtime_error {
 public:
  explicit ToolError(const std::string& message) : std::runtime_error(message) {}
};

#endif
