#include "codesign/Requirement.h"

namespace quorvantile::codesign {
namespace {

struct Token {
    enum class Kind { word, quoted, punctuation };
    Kind kind = Kind::word;
    std::string_view text;
};

bool isSpace(char character) { return character == ' ' || character == '\t' || character == '\n' || character == '\r'; }

bool isWordCharacter(char character)
{
    return (character >= 'a' && character <= 'z') || (character >= 'A' && character <= 'Z') ||
        (character >= '0' && character <= '9') || character == '.' || character == '_';
}

// Splits the text into tokens; absent on any character the language does not use, or on a
// quoted text that is unterminated or not a valid identifier.
std::optional<std::vector<Token>> tokenize(std::string_view text)
{
    std::vector<Token> tokens;
    std::size_t position = 0;
    while (position < text.size()) {
        const char character = text[position];
        if (isSpace(character)) {
            ++position;
        } else if (character == '[' || character == ']' || character == '=') {
            tokens.push_back({Token::Kind::punctuation, text.substr(position, 1)});
            ++position;
        } else if (character == '"') {
            const std::size_t close = text.find('"', position + 1);
            if (close == std::string_view::npos) {
                return std::nullopt;
            }
            const std::string_view quoted = text.substr(position + 1, close - position - 1);
            if (!isValidIdentifier(quoted)) {
                return std::nullopt;
            }
            tokens.push_back({Token::Kind::quoted, quoted});
            position = close + 1;
        } else if (isWordCharacter(character)) {
            const std::size_t start = position;
            while (position < text.size() && isWordCharacter(text[position])) {
                ++position;
            }
            tokens.push_back({Token::Kind::word, text.substr(start, position - start)});
        } else {
            return std::nullopt;
        }
    }
    return tokens;
}

class ClauseReader {
public:
    explicit ClauseReader(const std::vector<Token>& tokens) : tokens_(tokens) { }

    [[nodiscard]] bool atEnd() const { return next_ == tokens_.size(); }

    bool take(Token::Kind kind, std::string_view text)
    {
        if (atEnd() || tokens_[next_].kind != kind || tokens_[next_].text != text) {
            return false;
        }
        ++next_;
        return true;
    }

    bool word(std::string_view text) { return take(Token::Kind::word, text); }
    bool punctuation(std::string_view text) { return take(Token::Kind::punctuation, text); }

    std::optional<std::string_view> quoted()
    {
        if (atEnd() || tokens_[next_].kind != Token::Kind::quoted) {
            return std::nullopt;
        }
        return tokens_[next_++].text;
    }

    std::optional<RequirementClause> clause()
    {
        using Kind = RequirementClause::Kind;
        if (word("anchor")) {
            if (word("apple") && word("generic")) {
                return RequirementClause {Kind::vendorAnchor, {}};
            }
            return std::nullopt;
        }
        if (word("certificate")) {
            if (word("leaf") && punctuation("[") && word("subject.OU") && punctuation("]") && punctuation("=")) {
                if (const auto value = quoted()) {
                    return RequirementClause {Kind::leafOrganizationalUnit, std::string(*value)};
                }
            }
            return std::nullopt;
        }
        if (word("identifier")) {
            if (const auto value = quoted()) {
                return RequirementClause {Kind::identifier, std::string(*value)};
            }
        }
        return std::nullopt;
    }

private:
    const std::vector<Token>& tokens_;
    std::size_t next_ = 0;
};

} // namespace

std::optional<Requirement> parseRequirement(std::string_view text)
{
    if (text.size() > kMaximumRequirementBytes) {
        return std::nullopt;
    }
    const auto tokens = tokenize(text);
    if (!tokens) {
        return std::nullopt;
    }
    ClauseReader reader(*tokens);
    Requirement requirement;
    do {
        auto clause = reader.clause();
        if (!clause || requirement.clauses.size() == kMaximumRequirementClauses) {
            return std::nullopt;
        }
        requirement.clauses.push_back(std::move(*clause));
    } while (reader.word("and"));
    if (!reader.atEnd()) {
        return std::nullopt;
    }
    return requirement;
}

bool satisfies(const Requirement& requirement, const VerifiedSignature& signature)
{
    if (requirement.clauses.empty()) {
        return false;
    }
    for (const RequirementClause& clause : requirement.clauses) {
        switch (clause.kind) {
        case RequirementClause::Kind::vendorAnchor:
            if (!signature.anchoredAtVendor) {
                return false;
            }
            break;
        case RequirementClause::Kind::leafOrganizationalUnit:
            if (signature.leafOrganizationalUnit != clause.value) {
                return false;
            }
            break;
        case RequirementClause::Kind::identifier:
            if (signature.directory.identifier != clause.value) {
                return false;
            }
            break;
        }
    }
    return true;
}

} // namespace quorvantile::codesign
