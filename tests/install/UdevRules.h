#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace korvalis::test {

// One KEY{attr}<op>"value" of a rule.
struct TUdevToken {
    std::string Key;
    std::string Attr; // the part in braces, empty if none
    std::string Op;   // == != = += -= :=
    std::string Value;
};

struct TUdevRule {
    int Line = 0; // first physical line
    std::vector<TUdevToken> Tokens;

    // The value of the first token with this key, attribute and operator, or
    // nullptr.
    const std::string* Find(std::string_view key, std::string_view attr, std::string_view op) const;
};

struct TUdevRulesFile {
    std::vector<TUdevRule> Rules;
    std::vector<std::string> Errors; // "line N: why"
};

// Reads rules the way udev does (comments, continuation lines, comma-separated
// tokens, double-quoted values) and reports what udev would reject or ignore:
// unknown keys, operators a key does not take, missing or stray attributes,
// bad quoting, MODE that is not octal.
TUdevRulesFile ParseUdevRules(std::string_view text);

} // namespace korvalis::test
