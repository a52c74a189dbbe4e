#pragma once

#include <utility>
#include <variant>

namespace quorvantile::codesign {

// A value, or the reason there is none. Callers that only need "trusted or not" test it as a
// Boolean; the signing tool prints the reason.
template<class Value, class Error> class [[nodiscard]] Checked {
public:
    Checked(Value value) : state_(std::in_place_index<0>, std::move(value)) { }
    Checked(Error error) : state_(std::in_place_index<1>, std::move(error)) { }

    [[nodiscard]] bool ok() const noexcept { return state_.index() == 0; }
    explicit operator bool() const noexcept { return ok(); }

    // Only valid when ok().
    [[nodiscard]] const Value& value() const& { return std::get<0>(state_); }
    [[nodiscard]] Value&& value() && { return std::get<0>(std::move(state_)); }
    [[nodiscard]] const Value& operator*() const& { return value(); }
    [[nodiscard]] const Value* operator->() const { return &value(); }

    // Only valid when !ok().
    [[nodiscard]] const Error& error() const { return std::get<1>(state_); }

private:
    std::variant<Value, Error> state_;
};

} // namespace quorvantile::codesign
