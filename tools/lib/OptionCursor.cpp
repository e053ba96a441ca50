#include "OptionCursor.h"

namespace halvane {

bool OptionCursor::next()
{
    if (index_ >= args_.size())
        return false;
    name_ = args_[index_++];
    value_.clear();
    inlineValue_ = false;
    const std::size_t equals = name_.find('=');
    if (name_.rfind("--", 0) == 0 && equals != std::string::npos) {
        value_ = name_.substr(equals + 1);
        name_.resize(equals);
        inlineValue_ = true;
    }
    return true;
}

bool OptionCursor::takeValue(std::string& error)
{
    if (inlineValue_)
        return true;
    if (index_ >= args_.size()) {
        error = "option " + name_ + " needs a value";
        return false;
    }
    value_ = args_[index_++];
    return true;
}

bool OptionCursor::noValue(std::string& error) const
{
    if (inlineValue_)
        error = "option " + name_ + " takes no value";
    return !inlineValue_;
}

} // namespace halvane
