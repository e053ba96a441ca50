// Walks a tool's command line of options written "--name value" or
// "--name=value", one option at a time.
//
// Ownership: refers to the caller's argument vector, which must outlive it.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace halvane {

class OptionCursor {
public:
    explicit OptionCursor(const std::vector<std::string>& args) : args_(args) {}

    // Moves to the next option; false when none is left.
    bool next();

    // The option's name, without an inline "=value".
    const std::string& name() const { return name_; }
    // The value taken by takeValue(), or the inline one.
    const std::string& value() const { return value_; }

    // Takes the option's value: the inline one, else the next argument.
    // False with `error` set when there is none.
    bool takeValue(std::string& error);
    // False with `error` set when the option was given an inline value.
    bool noValue(std::string& error) const;

private:
    const std::vector<std::string>& args_;
    std::size_t index_ = 0;
    std::string name_;
    std::string value_;
    bool inlineValue_ = false;
};

} // namespace halvane
