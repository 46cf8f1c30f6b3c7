// RegexMatcher: binds one pattern to one subject text, then replaces its matches.
// ECMAScript dialect; the only pattern in use is "\n\s*\r" (collapses empty header lines).
#pragma once

#include <memory>
#include <regex>
#include <string>
#include <string_view>

namespace kestrum {

class RegexMatcher {
  public:
    // Returns false when the pattern is invalid (then replace() gives the subject unchanged).
    // With quoteToken every "#引号" in the pattern stands for a double quote.
    bool prepare(std::string_view pattern, std::string_view subject, bool caseSensitive = false,
                 bool multiline = true, bool global = true, bool quoteToken = false);
    std::string replace(std::string_view replacement) const;

  private:
    std::unique_ptr<std::regex> regex_;
    std::string subject_;
    bool global_ = true;
};

// The request-header clean-up: every match of "\n\s*\r" removed.
std::string collapseEmptyLines(std::string_view headers);

}  // namespace kestrum
