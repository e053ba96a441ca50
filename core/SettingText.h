// A text setting with a fixed capacity, safe to replace while other threads
// read it. Longer texts are cut to the capacity, as a fixed buffer of
// `Capacity` bytes (terminating NUL included) would hold them.
#pragma once

#include "Guarded.h"

#include <cstddef>
#include <string>
#include <string_view>

namespace halvane {

template <std::size_t Capacity>
class SettingText {
public:
    static constexpr std::size_t maxLength = Capacity - 1;

    SettingText() = default;
    explicit SettingText(std::string_view text) { set(text); }

    std::string get() const { return text_.get(); }
    void set(std::string_view text) { text_.set(std::string(text.substr(0, maxLength))); }
    bool empty() const { return get().empty(); }

private:
    Guarded<std::string> text_;
};

} // namespace halvane
