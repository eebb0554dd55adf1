// The rule checker must reject what udev rejects, or the install test could
// pass a rule that does nothing on a real system.
#include "UdevRules.h"

#include <gtest/gtest.h>

using namespace korvalis::test;

namespace {

struct TRuleCase {
    const char* Name;
    const char* Text;
    int Rules;         // rules parsed
    const char* Error; // part of the first error, or nullptr for none
};

const TRuleCase kCases[] = {
    {"Empty", "", 0, nullptr},
    {"CommentsAndBlankLines", "# a comment\n\n   # indented comment\n\t\n", 0, nullptr},
    {"OneRule",
     "SUBSYSTEM==\"hidraw\", ATTRS{idVendor}==\"0416\", ATTRS{idProduct}==\"5020\", "
     "TAG+=\"uaccess\"\n",
     1, nullptr},
    {"GroupAndMode", "SUBSYSTEM==\"hidraw\", GROUP=\"plugdev\", MODE=\"0660\"", 1, nullptr},
    {"ContinuationLine", "SUBSYSTEM==\"hidraw\", \\\n  TAG+=\"uaccess\"\n", 1, nullptr},
    {"SpacesAroundOperator", "KERNEL == \"hidraw*\" , MODE := \"0600\"", 1, nullptr},
    {"EscapedQuote", "ENV{X}=\"a\\\"b\"", 1, nullptr},
    {"UnknownKey", "SUBSYTEM==\"hidraw\", TAG+=\"uaccess\"", 0, "unknown key 'SUBSYTEM'"},
    {"LowerCaseKey", "subsystem==\"hidraw\"", 0, "expected a key"},
    {"MissingComma", "SUBSYSTEM==\"hidraw\" TAG+=\"uaccess\"", 0, "separated by commas"},
    {"TrailingComma", "SUBSYSTEM==\"hidraw\",", 0, "comma at the end"},
    {"UnquotedValue", "SUBSYSTEM==hidraw", 0, "double quotes"},
    {"UnterminatedValue", "SUBSYSTEM==\"hidraw, TAG+=\"uaccess", 0, "separated by commas"},
    {"UnterminatedAtEnd", "TAG+=\"uaccess", 0, "unterminated value"},
    {"NoOperator", "SUBSYSTEM\"hidraw\"", 0, "expected an operator"},
    {"AssignToMatchOnlyKey", "SUBSYSTEM=\"hidraw\"", 0, "does not take '='"},
    {"MatchOnAssignOnlyKey", "MODE==\"0660\"", 0, "does not take '=='"},
    {"AddToMode", "MODE+=\"0660\"", 0, "does not take '+='"},
    {"AttrsWithoutAttribute", "ATTRS==\"0416\"", 0, "needs an attribute"},
    {"AttributeOnPlainKey", "SUBSYSTEM{x}==\"hidraw\"", 0, "takes no attribute"},
    {"UnclosedAttribute", "ATTRS{idVendor==\"0416\"", 0, "unterminated '{'"},
    {"ModeNotOctal", "MODE=\"0668\"", 0, "not an octal mode"},
    {"ModeTooLong", "MODE=\"006600\"", 0, "not an octal mode"},
    {"EmptyGroup", "GROUP=\"\"", 0, "GROUP is empty"},
    {"ContinuationAtEnd", "TAG+=\"uaccess\", \\", 0, "continuation at the end"},
};

class UdevRuleParser : public ::testing::TestWithParam<TRuleCase> {};

TEST_P(UdevRuleParser, AcceptsWhatUdevAcceptsOnly) {
    const TRuleCase& c = GetParam();
    const TUdevRulesFile file = ParseUdevRules(c.Text);
    EXPECT_EQ(static_cast<int>(file.Rules.size()), c.Rules);
    if (c.Error) {
        ASSERT_FALSE(file.Errors.empty()) << "accepted: " << c.Text;
        EXPECT_NE(file.Errors.front().find(c.Error), std::string::npos) << file.Errors.front();
    } else {
        EXPECT_TRUE(file.Errors.empty()) << file.Errors.front();
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, UdevRuleParser, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.Name); });

TEST(UdevRuleParserTokens, KeepKeysAttributesOperatorsAndValues) {
    const TUdevRulesFile file = ParseUdevRules(
        "# header\n\nSUBSYSTEM==\"hidraw\", \\\n ATTRS{idVendor}==\"0416\", TAG+=\"uaccess\"\n"
        "GROUP=\"plugdev\", MODE=\"0660\"\n");
    ASSERT_TRUE(file.Errors.empty()) << file.Errors.front();
    ASSERT_EQ(file.Rules.size(), 2u);
    EXPECT_EQ(file.Rules[0].Line, 3);
    EXPECT_EQ(file.Rules[1].Line, 5);
    ASSERT_NE(file.Rules[0].Find("ATTRS", "idVendor", "=="), nullptr);
    EXPECT_EQ(*file.Rules[0].Find("ATTRS", "idVendor", "=="), "0416");
    EXPECT_EQ(*file.Rules[0].Find("TAG", "", "+="), "uaccess");
    EXPECT_EQ(file.Rules[0].Find("TAG", "", "="), nullptr);
    EXPECT_EQ(*file.Rules[1].Find("MODE", "", "="), "0660");
}

} // namespace
