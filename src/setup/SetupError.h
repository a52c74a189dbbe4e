#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace quorvantile::setup {

// The server controller's own failures. They carry no text of their own.
enum class SensorCompanionProcessError { unavailable, notReady, couldNotStop };

// A failed system call: the call's name and errno; its description is the platform's own text.
struct SystemCallError {
    std::string call;
    int number = 0;
    bool operator==(const SystemCallError&) const = default;
};

// The JSON parser's refusal of a text, with the parser's message.
struct ParseError {
    std::string message;
    bool operator==(const ParseError&) const = default;
};

// An error the platform describes in its own words (on macOS an NSError's localized description).
struct PlatformError {
    std::string description;
    bool operator==(const PlatformError&) const = default;
};

// Why a setup operation failed. Errors of the platform pass through unchanged.
class SetupError {
public:
    using Reason = std::variant<SensorCompanionProcessError, SystemCallError, ParseError, PlatformError>;

    SetupError(SensorCompanionProcessError error) : reason_(error) { }
    SetupError(SystemCallError error) : reason_(std::move(error)) { }
    SetupError(ParseError error) : reason_(std::move(error)) { }
    SetupError(PlatformError error) : reason_(std::move(error)) { }
    static SetupError system(std::string_view call, int number) { return SystemCallError {std::string(call), number}; }

    [[nodiscard]] const Reason& reason() const { return reason_; }
    // The platform's text for a failed call ("No such file or directory") or of its own error, the
    // parser's message, or the name of the controller's own case.
    [[nodiscard]] std::string localizedDescription() const;

    bool operator==(const SetupError&) const = default;

private:
    Reason reason_;
};

// Success, or the error that stopped an operation.
class [[nodiscard]] Outcome {
public:
    Outcome() = default;
    Outcome(SetupError error) : error_(std::move(error)) { }
    Outcome(SensorCompanionProcessError error) : error_(SetupError(error)) { }
    Outcome(SystemCallError error) : error_(SetupError(std::move(error))) { }
    Outcome(ParseError error) : error_(SetupError(std::move(error))) { }
    Outcome(PlatformError error) : error_(SetupError(std::move(error))) { }

    [[nodiscard]] bool ok() const noexcept { return !error_.has_value(); }
    explicit operator bool() const noexcept { return ok(); }
    // Only valid when !ok().
    [[nodiscard]] const SetupError& error() const { return *error_; }

    bool operator==(const Outcome&) const = default;

private:
    std::optional<SetupError> error_;
};

} // namespace quorvantile::setup
