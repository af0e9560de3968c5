#pragma once
// The indicator widgets' own error, raised by setters given a value they cannot show.

#include <stdexcept>
#include <string>

namespace dravane::widgets {

class EIndException : public std::runtime_error {
public:
    explicit EIndException(const std::string& message) : std::runtime_error(message) {}
};

} // namespace dravane::widgets
