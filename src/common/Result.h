#pragma once

#include <optional>
#include <string>
#include <utility>

namespace quorvantile {

// Why a reader gave nothing: which source, which file or rule, in a few words ("battery walk
// changed during the read"). Only the diagnostics modes show it; the wire stays silent.
struct Failure {
    std::string reason;
};

// A reader's answer: the std::optional its callers test, with the reason beside an absent value.
template<typename Value> class Result : public std::optional<Value> {
public:
    Result(Value value) : std::optional<Value>(std::move(value)) { }
    Result(Failure failure) : reason_(std::move(failure.reason)) { }

    // Empty when there is a value.
    [[nodiscard]] const std::string& reason() const { return reason_; }

private:
    std::string reason_;
};

} // namespace quorvantile
