#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

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
    // A value that one of the reader's sources could not add to, each note saying why in a few words.
    Result(Value value, std::vector<std::string> notes)
        : std::optional<Value>(std::move(value)), notes_(std::move(notes))
    {
    }
    Result(Failure failure) : reason_(std::move(failure.reason)) { }

    // Empty when there is a value.
    [[nodiscard]] const std::string& reason() const { return reason_; }
    // Why a source contributed less than it should have, beside a value; for the diagnostics modes.
    [[nodiscard]] const std::vector<std::string>& notes() const { return notes_; }

private:
    std::string reason_;
    std::vector<std::string> notes_;
};

} // namespace quorvantile
