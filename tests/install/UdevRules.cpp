#include "UdevRules.h"

#include <algorithm>
#include <cctype>
#include <initializer_list>

namespace korvalis::test {

namespace {

enum class TAttr { None, Optional, Required };

struct TKeySpec {
    std::string_view Name;
    TAttr Attr;
    bool Match;     // takes == and !=
    bool Assign;    // takes = and :=
    bool AddRemove; // takes += and -=
};

// The keys of udev(7) with the operators each one accepts.
constexpr TKeySpec kKeys[] = {
    {"ACTION", TAttr::None, true, false, false},
    {"DEVPATH", TAttr::None, true, false, false},
    {"KERNEL", TAttr::None, true, false, false},
    {"KERNELS", TAttr::None, true, false, false},
    {"SUBSYSTEM", TAttr::None, true, false, false},
    {"SUBSYSTEMS", TAttr::None, true, false, false},
    {"DRIVER", TAttr::None, true, false, false},
    {"DRIVERS", TAttr::None, true, false, false},
    {"ATTRS", TAttr::Required, true, false, false},
    {"TAGS", TAttr::None, true, false, false},
    {"TEST", TAttr::Optional, true, false, false},
    {"PROGRAM", TAttr::None, true, false, false},
    {"RESULT", TAttr::None, true, false, false},
    {"CONST", TAttr::Required, true, false, false},
    {"NAME", TAttr::None, true, true, false},
    {"SYMLINK", TAttr::None, true, true, true},
    {"ATTR", TAttr::Required, true, true, false},
    {"SYSCTL", TAttr::Required, true, true, false},
    {"ENV", TAttr::Required, true, true, true},
    {"TAG", TAttr::None, true, true, true},
    {"OWNER", TAttr::None, false, true, false},
    {"GROUP", TAttr::None, false, true, false},
    {"MODE", TAttr::None, false, true, false},
    {"SECLABEL", TAttr::Required, false, true, true},
    {"RUN", TAttr::Optional, false, true, true},
    {"LABEL", TAttr::None, false, true, false},
    {"GOTO", TAttr::None, false, true, false},
    {"IMPORT", TAttr::Required, true, true, false},
    {"OPTIONS", TAttr::None, false, true, true},
};

const TKeySpec* FindKey(std::string_view name) {
    for (const TKeySpec& k : kKeys)
        if (k.Name == name)
            return &k;
    return nullptr;
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

class TLineParser {
  public:
    TLineParser(std::string_view line, int lineNo, TUdevRulesFile& out)
        : FLine(line), FLineNo(lineNo), FOut(out) {}

    void Parse() {
        TUdevRule rule;
        rule.Line = FLineNo;
        bool expectToken = true;
        while (true) {
            SkipBlanks();
            if (AtEnd())
                break;
            if (!expectToken) {
                if (FLine[FPos] != ',')
                    return Error("tokens must be separated by commas");
                ++FPos;
                SkipBlanks();
                if (AtEnd())
                    return Error("comma at the end of the rule");
            }
            TUdevToken token;
            if (!ParseToken(token))
                return;
            rule.Tokens.push_back(std::move(token));
            expectToken = false;
        }
        if (!rule.Tokens.empty())
            FOut.Rules.push_back(std::move(rule));
    }

  private:
    bool AtEnd() const { return FPos >= FLine.size(); }
    void SkipBlanks() {
        while (!AtEnd() && IsBlank(FLine[FPos]))
            ++FPos;
    }
    void Error(const std::string& why) {
        FOut.Errors.push_back("line " + std::to_string(FLineNo) + ": " + why);
    }

    bool ParseToken(TUdevToken& token) {
        const size_t start = FPos;
        while (!AtEnd() &&
               (std::isupper(static_cast<unsigned char>(FLine[FPos])) || FLine[FPos] == '_'))
            ++FPos;
        token.Key = std::string(FLine.substr(start, FPos - start));
        if (token.Key.empty())
            return Error("expected a key"), false;
        const TKeySpec* spec = FindKey(token.Key);
        if (!spec)
            return Error("unknown key '" + token.Key + "'"), false;
        const bool hasAttr = !AtEnd() && FLine[FPos] == '{';
        if (hasAttr) {
            const size_t close = FLine.find('}', FPos);
            if (close == std::string_view::npos)
                return Error("unterminated '{' after " + token.Key), false;
            token.Attr = std::string(FLine.substr(FPos + 1, close - FPos - 1));
            FPos = close + 1;
            if (token.Attr.empty())
                return Error("empty attribute for " + token.Key), false;
        }
        if (hasAttr && spec->Attr == TAttr::None)
            return Error(token.Key + " takes no attribute"), false;
        if (!hasAttr && spec->Attr == TAttr::Required)
            return Error(token.Key + " needs an attribute in braces"), false;
        SkipBlanks();
        for (std::string_view op : {"==", "!=", "+=", "-=", ":=", "="}) {
            if (FLine.substr(FPos, op.size()) == op) {
                token.Op = std::string(op);
                FPos += op.size();
                break;
            }
        }
        if (token.Op.empty())
            return Error("expected an operator after " + token.Key), false;
        const bool isMatch = token.Op == "==" || token.Op == "!=";
        const bool isAddRemove = token.Op == "+=" || token.Op == "-=";
        const bool allowed = isMatch ? spec->Match : (isAddRemove ? spec->AddRemove : spec->Assign);
        if (!allowed)
            return Error(token.Key + " does not take '" + token.Op + "'"), false;
        SkipBlanks();
        if (AtEnd() || FLine[FPos] != '"')
            return Error("value of " + token.Key + " must be in double quotes"), false;
        ++FPos;
        std::string value;
        bool closed = false;
        while (!AtEnd()) {
            const char c = FLine[FPos++];
            if (c == '\\' && !AtEnd() && FLine[FPos] == '"') {
                value.push_back('"');
                ++FPos;
            } else if (c == '"') {
                closed = true;
                break;
            } else {
                value.push_back(c);
            }
        }
        if (!closed)
            return Error("unterminated value of " + token.Key), false;
        token.Value = std::move(value);
        if (token.Key == "MODE" && (token.Value.empty() || token.Value.size() > 4 ||
                                    !std::all_of(token.Value.begin(), token.Value.end(),
                                                 [](char c) { return c >= '0' && c <= '7'; })))
            return Error("MODE '" + token.Value + "' is not an octal mode"), false;
        if ((token.Key == "GROUP" || token.Key == "OWNER") && token.Value.empty())
            return Error(token.Key + " is empty"), false;
        return true;
    }

    std::string_view FLine;
    int FLineNo;
    TUdevRulesFile& FOut;
    size_t FPos = 0;
};

} // namespace

const std::string* TUdevRule::Find(std::string_view key, std::string_view attr,
                                   std::string_view op) const {
    for (const TUdevToken& t : Tokens)
        if (t.Key == key && t.Attr == attr && t.Op == op)
            return &t.Value;
    return nullptr;
}

TUdevRulesFile ParseUdevRules(std::string_view text) {
    TUdevRulesFile out;
    std::string logical;
    int lineNo = 0, firstLine = 0;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string_view::npos)
            end = text.size();
        std::string_view line = text.substr(pos, end - pos);
        pos = end + 1;
        ++lineNo;
        if (logical.empty()) {
            firstLine = lineNo;
            const size_t first = line.find_first_not_of(" \t");
            if (first == std::string_view::npos || line[first] == '#')
                continue;
        }
        if (!line.empty() && line.back() == '\\') {
            logical.append(line.substr(0, line.size() - 1));
            continue;
        }
        logical.append(line);
        TLineParser(logical, firstLine, out).Parse();
        logical.clear();
    }
    if (!logical.empty())
        out.Errors.push_back("line " + std::to_string(firstLine) +
                             ": continuation at the end of the file");
    return out;
}

} // namespace korvalis::test
